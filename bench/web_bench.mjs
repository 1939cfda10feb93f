// skarvel-web figures (not a test: nothing passes or fails):
//  - latency from a reading changing at the robot to the browser showing it
//    (p50/p95): the odometry is overwritten at robot-sim with kivrel-call
//    and a page's observer notes when its X field shows the new value;
//  - the server's CPU use with five pages open;
//  - the server's resident memory over a soak with those pages.
// Usage (scripts/bench_web builds the programs and sets their paths):
//   node bench/web_bench.mjs [--samples N] [--pages N] [--cpu-seconds S] [--minutes M]
import { parseArgs } from 'node:util';
import {
  callRobot, cpuSeconds, freePortBase, launchBrowser, residentKiB, sleep, startServer,
  startSimulator, waitFor,
} from '../web/tests/harness.mjs';

const { values: opt } = parseArgs({
  options: {
    samples: { type: 'string', default: '60' },
    pages: { type: 'string', default: '5' },
    'cpu-seconds': { type: 'string', default: '30' },
    minutes: { type: 'string', default: '1' },
  },
});
const samples = Math.max(5, Number(opt.samples));
const pages = Math.max(1, Number(opt.pages));
const cpuWindow = Math.max(5, Number(opt['cpu-seconds'])) * 1000;
const soakMs = Math.max(0.25, Number(opt.minutes)) * 60000;

const percentile = (sorted, p) => sorted[Math.min(sorted.length - 1, Math.floor((sorted.length * p) / 100))];

const base = await freePortBase();
const sim = await startSimulator(base);
const server = await startServer(base);
const browser = await launchBrowser();
const pid = server.child.pid;
try {
  const open = [];
  for (let i = 0; i < pages; ++i) {
    const page = await browser.newPage();
    await page.goto(server.url);
    open.push(page);
  }
  const page = open[0];
  await page.waitForFunction(() => document.getElementById('odo-x').textContent !== '—', { timeout: 15000 });
  // The page's own clock notes each new X the moment the DOM shows it.
  await page.evaluate(() => {
    window.benchSeen = {};
    const x = document.getElementById('odo-x');
    new MutationObserver(() => (window.benchSeen[x.textContent] = Date.now())).observe(x, {
      childList: true, characterData: true, subtree: true,
    });
  });

  // --- Latency.
  const fromStart = [], fromEnd = [];
  for (let i = 0; i < samples; ++i) {
    const value = 100000 + i * 7 + Math.floor(Math.random() * 5);
    const t0 = Date.now();
    await callRobot(base, 'motorDriver', 'ChangePosition2', '[{i}{i}]', value, 0);
    const t1 = Date.now();
    const seen = await waitFor('the page to show the new X', () => page.evaluate((v) => window.benchSeen[v], String(value)), 5000, 5);
    fromStart.push(seen - t0);
    fromEnd.push(seen - t1);
    // Spread the changes over the server's polling phase.
    await sleep(150 + Math.random() * 200);
  }
  fromStart.sort((a, b) => a - b);
  fromEnd.sort((a, b) => a - b);
  console.log(`latency robot -> browser over ${samples} changes (ms): ` +
    `p50 ${percentile(fromEnd, 50)}-${percentile(fromStart, 50)}, ` +
    `p95 ${percentile(fromEnd, 95)}-${percentile(fromStart, 95)}, max ${fromStart[fromStart.length - 1]} ` +
    '(from the end of the robot call - from its start)');

  // --- CPU with the pages open.
  await sleep(2000);
  const c0 = cpuSeconds(pid), w0 = Date.now();
  await sleep(cpuWindow);
  const cpu = ((cpuSeconds(pid) - c0) * 1000 * 100) / (Date.now() - w0);
  console.log(`server CPU with ${pages} pages open: ${cpu.toFixed(2)} % of one core over ${cpuWindow / 1000} s`);

  // --- Memory over a soak: one sample every ten seconds.
  const rss = [];
  const end = Date.now() + soakMs;
  while (Date.now() < end) {
    rss.push(residentKiB(pid));
    await sleep(Math.min(10000, Math.max(0, end - Date.now())));
  }
  rss.push(residentKiB(pid));
  const half = Math.floor(rss.length / 2);
  const mean = (a) => a.reduce((s, v) => s + v, 0) / a.length;
  console.log(`server memory over ${(soakMs / 60000).toFixed(1)} min with ${pages} pages: ` +
    `start ${rss[0]} KiB, end ${rss[rss.length - 1]} KiB, max ${Math.max(...rss)} KiB, ` +
    `second half minus first half ${(mean(rss.slice(half)) - mean(rss.slice(0, half))).toFixed(0)} KiB`);
} finally {
  await browser.close();
  await server.stop();
  await sim.stop();
}
