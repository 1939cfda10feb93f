// What the browser tests and the benchmark share: the simulator and the
// server as child processes on free loopback ports, Debian's chromium
// through puppeteer-core, and direct calls to the simulator with kivrel-call.
import { execFile, execFileSync, spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { promisify } from 'node:util';
import puppeteer from 'puppeteer-core';

const run = promisify(execFile);
const CLOCK_TICKS = Number(execFileSync('getconf', ['CLK_TCK'], { encoding: 'utf8' }).trim()) || 100;

export const HOST = '127.0.0.1';
// robot-sim's services sit at these offsets from its port base.
export const SERVICE_OFFSETS = { motorDriver: 0, bumper: 1, ultraSonic: 2, powerModule: 7, emergency: 12 };

export function programs() {
  const need = (name) => {
    const v = process.env[name];
    if (!v) throw new Error(`${name} is not set (the path of the program, given by CMake)`);
    return v;
  };
  return {
    web: need('SKARVEL_WEB'),
    sim: need('ROBOT_SIM'),
    call: need('KIVREL_CALL'),
    chromium: process.env.CHROMIUM || '/usr/bin/chromium',
  };
}

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Polls `probe` until it returns a truthy value; throws after `ms`.
export async function waitFor(what, probe, ms = 10000, every = 50) {
  const end = Date.now() + ms;
  let last;
  for (;;) {
    last = await probe();
    if (last) return last;
    if (Date.now() > end) throw new Error(`timed out after ${ms} ms waiting for ${what}`);
    await sleep(every);
  }
}

function canListen(port) {
  return new Promise((resolve) => {
    const s = net.createServer();
    s.once('error', () => resolve(false));
    s.listen({ port, host: HOST, exclusive: true }, () => s.close(() => resolve(true)));
  });
}

export async function freePort() {
  const s = net.createServer();
  await new Promise((r) => s.listen(0, HOST, r));
  const { port } = s.address();
  await new Promise((r) => s.close(r));
  return port;
}

// A port base whose five service ports are all free, away from the robot's
// own 50010-50022 and from the kernel's usual range for outgoing ports.
export async function freePortBase() {
  for (let tries = 0; tries < 200; ++tries) {
    const base = 20000 + Math.floor(Math.random() * 12000);
    let free = true;
    for (const off of Object.values(SERVICE_OFFSETS)) free = free && (await canListen(base + off));
    if (free) return base;
  }
  throw new Error('no free port base found');
}

// Reads a child's output line by line into `lines` and to `onLine`.
function follow(child, stream, onLine) {
  let rest = '';
  child[stream].setEncoding('utf8');
  child[stream].on('data', (chunk) => {
    rest += chunk;
    let i;
    while ((i = rest.indexOf('\n')) >= 0) {
      onLine(rest.slice(0, i));
      rest = rest.slice(i + 1);
    }
  });
}

// robot-sim on loopback with connection counters once a second:
// `stats` collects {t, accepted} as they come.
export async function startSimulator(base) {
  const { sim } = programs();
  const child = spawn(sim, ['--no-terminal', '--stats', '--bind', HOST, '--port-base', String(base)], {
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  const stats = [];
  let serving = false;
  const errors = [];
  follow(child, 'stdout', (line) => {
    if (line.includes('serving')) serving = true;
    const m = /connections accepted (\d+)/.exec(line);
    if (m) stats.push({ t: Date.now(), accepted: Number(m[1]) });
  });
  follow(child, 'stderr', (line) => errors.push(line));
  let exited = false;
  child.once('exit', () => (exited = true));
  await waitFor('robot-sim to serve', () => serving || exited);
  if (!serving) throw new Error('robot-sim ended: ' + errors.join(' '));
  return {
    child,
    base,
    stats,
    async stop() {
      if (exited) return;
      const done = new Promise((r) => child.once('exit', r));
      child.kill('SIGTERM');
      await done;
    },
  };
}

// skarvel-web against the simulator at `base`, on a free port (or `again`'s
// port and token, to restart it), with a token of the test's own; resolves
// once it prints its URL line.
export async function startServer(base, again = null) {
  const { web } = programs();
  const token = again?.token ?? 't' + Math.random().toString(36).slice(2) + Math.random().toString(36).slice(2);
  for (let tries = 0; ; ++tries) {
    const port = again?.port ?? (await freePort());
    const child = spawn(
      web,
      ['--address', HOST, '--port-base', String(base), '--listen', `${HOST}:${port}`, '--token', token],
      { stdio: ['ignore', 'pipe', 'pipe'] },
    );
    const output = [];
    let url = null;
    follow(child, 'stdout', (line) => {
      output.push(line);
      if (line.includes(`http://${HOST}:${port}/?token=`)) url = line.slice(line.indexOf('http://')).trim();
    });
    follow(child, 'stderr', (line) => output.push(line));
    let exited = false;
    child.once('exit', () => (exited = true));
    try {
      await waitFor('skarvel-web to print its URL', () => url || (exited && 'exit'), 15000);
    } catch (e) {
      child.kill('SIGKILL');
      throw e;
    }
    if (url !== null) {
      return {
        child,
        port,
        token,
        url,
        origin: `http://${HOST}:${port}`,
        output,
        async stop() {
          if (child.exitCode !== null || child.signalCode !== null) return;
          const done = new Promise((r) => child.once('exit', r));
          child.kill('SIGTERM');
          await done;
        },
      };
    }
    // Another program took the port between the probe and the start.
    if (tries >= 3) throw new Error('skarvel-web did not start: ' + output.join('\n'));
  }
}

export async function launchBrowser() {
  const { chromium } = programs();
  const profile = mkdtempSync(path.join(os.tmpdir(), 'skarvel-web-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: [
      '--headless',
      '--no-sandbox',
      '--disable-gpu',
      '--disable-quic',
      '--no-first-run',
      '--disable-background-networking',
      '--disable-component-update',
      '--disable-sync',
      `--user-data-dir=${profile}`,
    ],
    defaultViewport: { width: 1280, height: 900 },
  });
  const close = browser.close.bind(browser);
  browser.close = async () => {
    await close();
    rmSync(profile, { recursive: true, force: true });
  };
  return browser;
}

// One call to the simulator, bypassing the server: the integers it answered.
export async function callRobot(base, service, method, signature, ...args) {
  const { call } = programs();
  const port = base + SERVICE_OFFSETS[service];
  const argv = ['--timeout', '2000', HOST, String(port), method];
  if (signature) argv.push(signature, ...args.map(String));
  const { stdout } = await run(call, argv, { timeout: 5000 });
  return [...stdout.matchAll(/^\s*int (-?\d+)/gm)].map((m) => Number(m[1]));
}

export async function odometry(base) {
  const [x, y, theta] = await callRobot(base, 'motorDriver', 'ReadPosition');
  return { x, y, theta };
}

// The simulator's accepted connections per second over the next `ms`,
// from its once-a-second counter lines.
export async function acceptedPerSecond(sim, ms) {
  const first = sim.stats.length;
  await waitFor('robot-sim counters', () => sim.stats.length > first, 5000);
  const start = sim.stats[sim.stats.length - 1];
  await sleep(ms);
  const end = sim.stats[sim.stats.length - 1];
  return ((end.accepted - start.accepted) * 1000) / Math.max(1, end.t - start.t);
}

// CPU seconds (user + system) a process has used so far.
export function cpuSeconds(pid) {
  const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return (Number(fields[11]) + Number(fields[12])) / CLOCK_TICKS;
}

// Resident memory of a process in KiB.
export function residentKiB(pid) {
  const m = /VmRSS:\s+(\d+) kB/.exec(readFileSync(`/proc/${pid}/status`, 'utf8'));
  return m ? Number(m[1]) : NaN;
}
