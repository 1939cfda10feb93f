// The method every round-trip benchmark answers: the robot's power status,
// sixteen integers, the largest answer the panel polls for.
#ifndef BENCH_POWER_STATUS_H
#define BENCH_POWER_STATUS_H

#include "kivrel.h"

namespace bench {

inline constexpr char kSign16[] = "[{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}{i}]";

inline int PowerStatus(const kivrel_datalist *, kivrel_datalist **ret) {
  *ret = kivrel_build_root_datalist(kSign16, 25600, 0, 0, 900, 87, 312, 0, 0, 0, 0, 0, 0, 0, 0, 120,
                                    7);
  return 0;
}

} // namespace bench

#endif
