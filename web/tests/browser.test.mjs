// skarvel-web in a real browser: headless chromium against the server and
// robot-sim, each on ports of this test's own. Run by CTest with the
// programs' paths in SKARVEL_WEB, ROBOT_SIM and KIVREL_CALL.
import assert from 'node:assert/strict';
import http from 'node:http';
import { after, before, test } from 'node:test';
import WebSocket from 'ws';
import {
  HOST, acceptedPerSecond, callRobot, freePortBase, launchBrowser, odometry, sleep, startServer,
  startSimulator, waitFor,
} from './harness.mjs';

const SERVICES = ['motorDriver', 'bumper', 'ultraSonic', 'powerModule', 'emergency'];
// Generous bounds: the server stops the wheels 300 ms after the hold ends;
// the wheels take 0.1 s to brake, the odometry is read every 100 ms.
const STOP_BOUND_MS = 1200;
const STILL_MS = 1200; // still this long: nothing repeats a drive command

let base, sim, server, browser;

before(async () => {
  base = await freePortBase();
  sim = await startSimulator(base);
  server = await startServer(base);
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  await server?.stop();
  await sim?.stop();
});

async function openPage() {
  const page = await browser.newPage();
  await page.goto(server.url);
  await page.waitForFunction(() => !document.body.classList.contains('offline'), { timeout: 10000 });
  return page;
}

const lampsLit = (page) =>
  page.evaluate((names) => names.map((n) => document.getElementById('lamp-' + n).classList.contains('on')), SERVICES);

async function takeControl(page) {
  await page.click('#take-control');
  await page.waitForFunction(() => document.body.classList.contains('driver'), { timeout: 5000 });
}

// Waits for the odometry to move away from `from`.
async function moved(from) {
  return waitFor('the robot to move', async () => {
    const now = await odometry(base);
    return Math.hypot(now.x - from.x, now.y - from.y) > 20 || now.theta !== from.theta ? now : null;
  }, 5000);
}

// Samples the odometry from `t0` on and returns when it last changed (ms
// after t0), once it has not changed for STILL_MS, or throws.
async function lastMotionAfter(t0) {
  let prev = await odometry(base);
  let changedAt = Date.now();
  for (;;) {
    await sleep(40);
    const now = await odometry(base);
    if (now.x !== prev.x || now.y !== prev.y || now.theta !== prev.theta) changedAt = Date.now();
    prev = now;
    if (Date.now() - changedAt >= STILL_MS) return changedAt - t0;
    if (Date.now() - t0 > STOP_BOUND_MS + STILL_MS + 3000) return Infinity;
  }
}

test('the page shows the readings; lamps go dark without the robot or the server and come back', async () => {
  const page = await openPage();
  await page.evaluate(() => (window.loadedOnce = true));
  await waitFor('every lamp lit', async () => (await lampsLit(page)).every(Boolean));

  // A reading set at the robot shows in the page as the robot reports it.
  await callRobot(base, 'motorDriver', 'ChangePosition', '[{i}{i}{i}]', 1234, -567, 42);
  await page.waitForFunction(
    () => ['odo-x', 'odo-y', 'odo-theta'].map((id) => document.getElementById(id).textContent).join() === '1234,-567,42',
    { timeout: 5000 },
  );
  const [battery] = await callRobot(base, 'powerModule', 'ReadPowerStatus');
  const shown = Number(await page.$eval('#battery', (e) => e.textContent));
  assert.ok(Math.abs(shown - battery) < 100, `battery ${shown} mV shown, robot says ${battery} mV`);
  const sonar = await page.$$eval('output[id^="sonar-"]', (els) => els.map((e) => Number(e.textContent)));
  assert.equal(sonar.length, 7);
  assert.ok(sonar.every((r) => r > 0 && r <= 400), `sonar ${sonar}`);

  await sim.stop();
  await waitFor('every lamp dark', async () => (await lampsLit(page)).every((on) => !on));
  const stale = await page.$$eval('section[data-group="motorDriver"]', (s) => s.map((e) => e.classList.contains('stale')));
  assert.ok(stale.every(Boolean), 'motor driver readings marked stale');
  assert.equal(await page.$eval('#odo-x', (e) => e.textContent), '1234', 'the last reading stays');

  sim = await startSimulator(base);
  await waitFor('every lamp lit again', async () => (await lampsLit(page)).every(Boolean), 15000);
  assert.equal(await page.$eval('section#motor', (e) => e.classList.contains('stale')), false);
  assert.equal(await page.evaluate(() => window.loadedOnce), true, 'no reload');

  // The server itself goes away and comes back on its address.
  await server.stop();
  await page.waitForFunction(() => document.body.classList.contains('offline'), { timeout: 5000 });
  assert.ok((await lampsLit(page)).every((on) => !on), 'lamps dark without the server');
  server = await startServer(base, server);
  await waitFor('every lamp lit after the server came back', async () => (await lampsLit(page)).every(Boolean), 15000);
  assert.equal(await page.evaluate(() => window.loadedOnce), true, 'no reload');
  await page.close();
});

test('the wheels stop whichever way the hold ends', async (t) => {
  // How each case holds, and how it ends the hold.
  const cases = [
    { name: 'key released', end: (page) => page.keyboard.up('ArrowUp') },
    { name: 'window blurred', end: (page) => page.evaluate(() => window.dispatchEvent(new Event('blur'))) },
    {
      // Another tab in front hides this one.
      name: 'page hidden',
      end: async (page) => {
        const other = await browser.newPage();
        await other.bringToFront();
        await page.waitForFunction(() => document.visibilityState === 'hidden', { timeout: 5000 });
        return () => other.close();
      },
    },
    { name: 'page closed', end: (page) => page.close() },
    {
      // The page's keep-alive timer dies; the server must notice the gap.
      name: 'keep-alive gap',
      end: (page) =>
        page.evaluate(() => {
          const last = setTimeout(() => {}, 0);
          for (let id = 0; id <= last; ++id) clearInterval(id);
        }),
    },
    {
      name: 'pointer leaves the button',
      hold: async (page) => {
        const box = await (await page.$('#drive-forward')).boundingBox();
        await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
        await page.mouse.down();
      },
      end: (page) => page.mouse.move(5, 5),
    },
  ];
  for (const c of cases) {
    await t.test(c.name, async () => {
      const page = await openPage();
      try {
        await takeControl(page);
        await page.bringToFront();
        const from = await odometry(base);
        if (c.hold) await c.hold(page);
        else await page.keyboard.down('ArrowUp');
        await moved(from);
        const t0 = Date.now();
        const cleanUp = await c.end(page);
        const last = await lastMotionAfter(t0);
        if (typeof cleanUp === 'function') await cleanUp();
        t.diagnostic(`${c.name}: last motion ${last} ms after the end of the hold`);
        assert.ok(last <= STOP_BOUND_MS, `${c.name}: still moving ${last} ms after the hold ended`);
      } finally {
        // Closing the driver's page frees the role for the next case.
        if (!page.isClosed()) await page.close();
      }
    });
  }
});

test('only the driver drives, and nobody without the token or from elsewhere gets in', async () => {
  const driver = await openPage();
  await takeControl(driver);
  const watcher = await openPage();
  await watcher.click('#take-control');
  await watcher.waitForSelector('#reply.fail', { timeout: 5000 });
  assert.equal(await watcher.evaluate(() => document.body.classList.contains('driver')), false);

  // The watcher's keys and a watcher's own socket sending drive commands.
  const from = await odometry(base);
  await watcher.keyboard.down('ArrowUp');
  const ws = new WebSocket(`ws://${HOST}:${server.port}/ws?token=${server.token}`);
  const errors = [];
  ws.on('message', (data) => {
    const m = JSON.parse(data);
    if (m.type === 'error') errors.push(m);
  });
  await new Promise((resolve, reject) => ws.once('open', resolve).once('error', reject));
  for (let i = 0; i < 8; ++i) {
    ws.send(JSON.stringify({ type: 'drive', dir: 'forward' }));
    await sleep(100);
  }
  await waitFor('refusals of the watcher socket', () => errors.length > 0, 3000);
  const now = await odometry(base);
  assert.deepEqual(now, from, 'a watcher moved the robot');
  await watcher.keyboard.up('ArrowUp');
  ws.close();

  // No token, a wrong one, and a foreign page's handshake.
  const status = (path, headers = {}) =>
    new Promise((resolve, reject) =>
      // A connection of its own each: the server closes a refused one.
      http.get({ host: HOST, port: server.port, path, headers, agent: false }, (res) => {
        res.resume();
        resolve(res.statusCode);
      }).on('error', reject));
  const handshake = (query, origin) =>
    new Promise((resolve) => {
      const c = new WebSocket(`ws://${HOST}:${server.port}/ws${query}`, origin ? { origin } : {});
      c.once('open', () => {
        c.close();
        resolve(101);
      });
      c.once('unexpected-response', (req, res) => {
        resolve(res.statusCode);
        req.destroy();
      });
      c.once('error', () => resolve('error'));
    });
  const cases = [
    ['page without token', () => status('/'), 401],
    ['script without token', () => status('/app.js'), 401],
    ['page with a wrong token', () => status('/?token=x' + server.token), 401],
    ['page with the token', () => status('/?token=' + server.token), 200],
    ['page with the cookie', () => status('/', { cookie: 'skarvel_token=' + server.token }), 200],
    ['channel without token', () => handshake('', server.origin), 401],
    ['channel from the page', () => handshake('?token=' + server.token, server.origin), 101],
  ];
  for (const [name, probe, expected] of cases) assert.equal(await probe(), expected, name);
  const foreign = await handshake('?token=' + server.token, 'http://attacker.invalid');
  assert.notEqual(foreign, 101, 'a foreign Origin got the channel');
  await driver.close();
  await watcher.close();
});

test('fifty watchers add no robot traffic', async () => {
  const clients = [];
  const open = (n) =>
    Promise.all(
      Array.from({ length: n }, () => {
        const c = new WebSocket(`ws://${HOST}:${server.port}/ws?token=${server.token}`);
        c.states = 0;
        c.on('message', (data) => {
          if (JSON.parse(data).type === 'state') ++c.states;
        });
        clients.push(c);
        return new Promise((resolve, reject) => c.once('open', resolve).once('error', reject));
      }),
    );
  try {
    await open(1);
    const one = await acceptedPerSecond(sim, 4000);
    await open(49);
    await waitFor('every watcher to get states', () => clients.every((c) => c.states >= 2), 10000);
    const fifty = await acceptedPerSecond(sim, 4000);
    console.log(`# robot connections per second: ${one.toFixed(1)} with 1 watcher, ${fifty.toFixed(1)} with 50`);
    assert.ok(one > 0, 'the server polls the robot');
    assert.ok(Math.abs(fifty - one) <= one * 0.4, `${one.toFixed(1)}/s with one watcher, ${fifty.toFixed(1)}/s with fifty`);
  } finally {
    for (const c of clients) c.terminate();
  }
});
