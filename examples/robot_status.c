/*
 * robot_status.c - reads the robot's odometry and power status from the
 * controller's motor driver and power module (or robot-sim) on this
 * machine, one connection per call as the panel makes them.
 *
 *   robot_status [PORT_BASE]   default 50010: motor driver on PORT_BASE,
 *                              power module on PORT_BASE + 7
 *
 * Prints, and exits 0:
 *   position: x 0 mm, y 0 mm, heading 0 deg
 *   battery: 25000 mV, charge 90.0 %, modules down: 0
 * or "robot_status: ... failed" and exits 1.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kivrel.h"

/* One call without arguments on a fresh connection; the result list (NULL
 * for a failure or an empty answer) is the caller's to destroy. A refused
 * connection is reported with its reason. */
static kivrel_datalist *call(int32_t port, const char *method) {
  kivrel_datalist *result = NULL;
  kivrel_tcp_client *client = kivrel_tcp_client_create("127.0.0.1", port);
  errno = 0;
  if (client != NULL && kivrel_tcp_client_connect(client) == 0)
    kivrel_request_method_call_status(client, method, NULL, &result);
  else
    fprintf(stderr, "robot_status: cannot connect to 127.0.0.1:%d: %s%s\n", (int)port,
            errno != 0 ? strerror(errno) : "no socket",
            errno == ECONNREFUSED ? " (is robot-sim or the controller running?)" : "");
  kivrel_tcp_client_destroy(client);
  return result;
}

int main(int argc, char **argv) {
  const int32_t base = argc > 1 ? (int32_t)atoi(argv[1]) : 50010;
  int32_t x, y, heading;
  int32_t p[16];
  int modules_down = 0;
  int i;
  kivrel_datalist *position = call(base, "ReadPosition");
  kivrel_datalist *power = call(base + 7, "ReadPowerStatus");

  /* ReadPosition: "[{i}{i}{i}]", x and y in mm, heading in degrees. */
  if (position == NULL ||
      kivrel_decompose_root_datalist(position, "[{i}{i}{i}]", &x, &y, &heading) != 0) {
    fputs("robot_status: ReadPosition failed\n", stderr);
    kivrel_datalist_destroy(position);
    kivrel_datalist_destroy(power);
    return 1;
  }
  printf("position: x %d mm, y %d mm, heading %d deg\n", (int)x, (int)y, (int)heading);

  /* ReadPowerStatus: sixteen integers; 1 battery mV, 5 charge in 0.1 %,
   * 7-14 the modules (1: down). */
  if (power == NULL ||
      kivrel_decompose_root_datalist(power, "[{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}]",
                                     &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6], &p[7], &p[8],
                                     &p[9], &p[10], &p[11], &p[12], &p[13], &p[14], &p[15]) != 0) {
    fputs("robot_status: ReadPowerStatus failed\n", stderr);
    kivrel_datalist_destroy(position);
    kivrel_datalist_destroy(power);
    return 1;
  }
  for (i = 6; i < 14; ++i)
    modules_down += p[i] != 0;
  printf("battery: %d mV, charge %d.%d %%, modules down: %d\n", (int)p[0], (int)(p[4] / 10),
         (int)(p[4] % 10), modules_down);

  kivrel_datalist_destroy(position);
  kivrel_datalist_destroy(power);
  return 0;
}
