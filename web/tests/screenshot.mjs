// Draws skarvel-web's page after a short drive through robot-sim's room, so
// that the map shows a trail and the plots a stretch of history.
//   node web/tests/screenshot.mjs OUT.png   (scripts/screenshot_web sets the paths)
import { freePortBase, launchBrowser, sleep, startServer, startSimulator } from './harness.mjs';

const out = process.argv[2] || 'docs/web.png';
const base = await freePortBase();
const sim = await startSimulator(base);
const server = await startServer(base);
const browser = await launchBrowser();
try {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 1000 });
  await page.goto(server.url);
  await page.waitForFunction(() => document.body.classList.contains('offline') === false);
  await page.click('#take-control');
  await page.waitForFunction(() => document.body.classList.contains('driver'));
  // A loop through the room: forward, a quarter turn, and so on.
  const legs = [['ArrowUp', 3500], ['ArrowLeft', 1400], ['ArrowUp', 2500], ['ArrowLeft', 1400],
    ['ArrowUp', 2000], ['ArrowRight', 1000], ['ArrowUp', 1500]];
  for (const [key, ms] of legs) {
    await page.keyboard.down(key);
    await sleep(ms);
    await page.keyboard.up(key);
    await sleep(300);
  }
  await sleep(1500);
  await page.screenshot({ path: out, fullPage: true });
  console.log(`screenshot: ${out}`);
} finally {
  await browser.close();
  await server.stop();
  await sim.stop();
}
