// What only a browser shows, with Debian's Chromium and the test extension
// against the INSTALLED host (scripts/test package installs the .deb): a
// fresh profile finds the host through the system-wide manifest alone; one
// exchange through sendNativeMessage and one through a port; a takeover
// reaching the inbox and the bus; the 1 MiB reply cap; hosts ending with the
// browser. The decision table itself is the black-box suite's.
//
// Usage: node e2e.mjs. Environment: CHROMIUM (default /usr/bin/chromium),
// QORDA_E2E_KEEP=1 keeps the temporary folder.
import { chromium } from 'playwright-core';
import { spawn, spawnSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { isDeepStrictEqual } from 'node:util';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const extensionDir = path.join(here, 'extension');
const hostName = 'com.velmox.qorda.native_host';
const systemManifest = `/etc/chromium/native-messaging-hosts/${hostName}.json`;
const version = fs.readFileSync(path.join(here, '../../../../../CMakeLists.txt'), 'utf8').match(/project\(\S+ VERSION (\S+)\)/)[1];

let failures = 0;
function check(name, ok, detail) {
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${name}${ok ? '' : `: ${detail}`}`);
  if (!ok) failures++;
}
const expectEqual = (name, actual, expected) => check(name, isDeepStrictEqual(actual, expected),
  `expected ${JSON.stringify(expected)?.slice(0, 300)}, got ${JSON.stringify(actual)?.slice(0, 300)}`);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
async function until(what, ms, test) {
  for (const end = Date.now() + ms; Date.now() < end; await sleep(25)) if (await test()) return true;
  return `timed out after ${ms} ms waiting for ${what}`;
}
const run = (command, args, env) => spawnSync(command, args, { encoding: 'utf8', env });

// Processes this test starts itself, ended by id however it ends.
const children = [];
function startChild(command, args, env) {
  const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'pipe'], env });
  child.output = '';
  for (const stream of [child.stdout, child.stderr]) stream.on('data', (chunk) => { child.output += chunk; });
  children.push(child);
  return child;
}
process.on('exit', () => children.forEach((child) => child.exitCode ?? child.kill('SIGTERM')));

// A fresh home, profile, runtime and data folder, and a private session bus
// with a monitor of the capture signals that is known to listen.
async function makeScene() {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'qorda-e2e-'));
  const scene = { root, bus: `unix:path=${root}/bus.socket` };
  for (const name of ['profile', 'runtime', 'data', 'home']) fs.mkdirSync(scene[name] = path.join(root, name));
  scene.env = { PATH: process.env.PATH, LANG: 'C.UTF-8', HOME: scene.home, XDG_RUNTIME_DIR: scene.runtime,
    XDG_DATA_HOME: scene.data, XDG_CONFIG_HOME: `${scene.home}/.config`, DBUS_SESSION_BUS_ADDRESS: scene.bus };
  fs.writeFileSync(`${root}/bus.conf`, `<busconfig><type>session</type><listen>${scene.bus}</listen><policy
    context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy></busconfig>`);
  startChild('dbus-daemon', ['--nofork', '--nopidfile', `--config-file=${root}/bus.conf`], scene.env);
  await until('the bus', 10000, () => fs.existsSync(`${root}/bus.socket`));
  scene.monitor = startChild('dbus-monitor', ['--address', scene.bus, "interface='com.velmox.qorda.capture.intent'"]);
  const listening = await until('dbus-monitor', 10000, () => run('dbus-send', [`--address=${scene.bus}`, '--type=signal',
    '/com/velmox/qorda', 'com.velmox.qorda.capture.intent.probe']) && scene.monitor.output.includes('member=probe'));
  if (listening !== true) throw new Error(listening);
  return scene;
}

const submittedPayloads = (monitor) => monitor.output.split(/\n(?=signal )/).filter((block) => block.includes('member=submit'))
  .map((block) => block.match(/string "payload"\n\s*string "([^\n]*)"\n/)?.[1]);
function inboxRows(scene) {
  const result = run('sqlite3', ['-readonly', '-json', `${scene.data}/group.com.velmox.qorda/defaults.sqlite3`,
    'SELECT payload FROM capture_inbox_payloads ORDER BY id']);
  return result.status ? [result.stderr] : JSON.parse(result.stdout || '[]').map((row) => JSON.parse(row.payload));
}
// The running hosts: this test alone starts the installed one.
const hostProcesses = (hostPath) => fs.readdirSync('/proc').filter((pid) => {
  try { return fs.readlinkSync(`/proc/${pid}/exe`) === hostPath; } catch { return false; }
});

const capture = (requestId, url = 'https://videos.example/trailer.mp4', drmSuspected = false) => ({
  messageType: 'capture', requestId, payload: { intent: { resource: { url, mimeType: 'video/mp4' },
    sourceContext: { pageUrl: url }, detection: { signalType: 'direct_url' }, policyHints: { drmSuspected } } } });
const accepted = (message, policyAction, reason) => ({ reply: { accepted: true, host: 'qorda-native-host', version,
  messageType: message.messageType, requestId: message.requestId, policyAction, ...(reason && { reason }) } });

async function main(scene) {
  const key = JSON.parse(fs.readFileSync(`${extensionDir}/manifest.json`)).key;
  const digest = createHash('sha256').update(Buffer.from(key, 'base64')).digest('hex').slice(0, 32);
  const extensionId = [...digest].map((c) => String.fromCharCode(97 + parseInt(c, 16))).join('');
  const manifest = JSON.parse(fs.readFileSync(systemManifest, 'utf8'));
  check(`${systemManifest} allows the test extension`,
    manifest.allowed_origins.includes(`chrome-extension://${extensionId}/`), manifest.allowed_origins);
  fs.writeFileSync(`${scene.runtime}/com.velmox.qorda.policy`, '{"userDenyHosts":["denied.example"]}');

  const context = await chromium.launchPersistentContext(scene.profile, {
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true, env: scene.env, timeout: 60000,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', `--load-extension=${extensionDir}`, `--disable-extensions-except=${extensionDir}`],
  });
  try {
    const isOurs = (worker) => worker.url().startsWith(`chrome-extension://${extensionId}/`);
    const worker = context.serviceWorkers().find(isOurs) ||
      await context.waitForEvent('serviceworker', { predicate: isOurs, timeout: 30000 });
    const call = (method, ...args) => worker.evaluate(([m, a]) => self.nativeTest[m](...a), [method, args]);

    // The hand-off comes before the reply: the row is there when it arrives.
    const takeover = capture('send-takeover');
    expectEqual('sendNativeMessage: takeover', await call('send', hostName, takeover), accepted(takeover, 'takeover'));
    expectEqual('takeover: one inbox row, the message', inboxRows(scene), [takeover]);
    const signalled = await until('the submit signal', 5000,
      () => submittedPayloads(scene.monitor).map((text) => text && JSON.parse(text)).some((m) => isDeepStrictEqual(m, takeover)));
    check('takeover: the submit signal carries the message', signalled === true, signalled);

    await call('open', hostName);
    const denied = capture('port-denied', 'https://denied.example/a.mp4');
    expectEqual('port: a decision of the policy file', await call('post', denied), accepted(denied, 'blocked', 'user_denied_site'));
    // The browser would drop the port on a reply over 1 MiB.
    const huge = capture('x'.repeat((1 << 20) + 16), undefined, true);
    expectEqual('port: a reply over 1 MiB is sent as {}', await call('post', huge), { reply: {} });
    const after = capture('port-after', undefined, true);
    expectEqual('port: still answering after it', await call('post', after), accepted(after, 'blocked', 'drm_suspected'));
    const running = hostProcesses(manifest.path).length;
    check(`port: its host ${manifest.path} is running`, running >= 1, `${running} host processes`);
  } finally {
    await Promise.race([context.close().catch(() => {}), sleep(15000)]);
  }
  const ended = await until('the hosts to end', 10000, () => hostProcesses(manifest.path).length === 0);
  check('host processes end with the browser', ended === true, ended);
}

setTimeout(() => check('the browser test ends within 5 minutes', false) || process.exit(1), 300000).unref();
const scene = await makeScene().catch((error) => check('the scene is set', false, error.stack));
await main(scene).catch((error) => check('the browser test ran', false, error.stack || error));
children.forEach((child) => child.exitCode ?? child.kill('SIGTERM'));
if (!process.env.QORDA_E2E_KEEP) fs.rmSync(scene?.root ?? '/nonexistent', { recursive: true, force: true });
console.log(`browser: ${failures ? `${failures} failed` : 'all passed'}${process.env.QORDA_E2E_KEEP ? `, kept ${scene?.root}` : ''}`);
process.exit(failures ? 1 : 0);
