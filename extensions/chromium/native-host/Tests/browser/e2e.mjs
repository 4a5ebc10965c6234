// What only a browser shows, with Debian's Chromium and the test extension
// against the built host: registration through the setup command, one
// exchange through sendNativeMessage and one through a port, a takeover
// reaching the inbox and the bus, the 1 MiB reply cap, and hosts ending with
// the browser. The decision table itself is the black-box suite's.
//
// Usage: node e2e.mjs [--build-dir DIR]   (default: the repository's build/)
// Environment: CHROMIUM (default /usr/bin/chromium), QORDA_E2E_KEEP=1 keeps
// the temporary directory, QORDA_E2E_SAMPLES sets the timed round trips.
import { chromium } from 'playwright-core';
import { spawn, spawnSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { isDeepStrictEqual } from 'node:util';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const repo = path.resolve(here, '../../../../..');
const extensionDir = path.join(here, 'extension');
const hostName = 'com.velmox.qorda.native_host';
const samples = Number(process.env.QORDA_E2E_SAMPLES || 30);
const at = process.argv.indexOf('--build-dir');
const buildDir = path.resolve(at >= 0 && process.argv[at + 1] ? process.argv[at + 1] : path.join(repo, 'build'));
const hostPath = path.join(buildDir, 'extensions/chromium/native-host/QordaNativeMessagingHost');
const setupPath = path.join(buildDir, 'tools/setup/qorda-native-host-setup');
const chromiumPath = process.env.CHROMIUM || '/usr/bin/chromium';
const hostVersion = fs.readFileSync(path.join(repo, 'CMakeLists.txt'), 'utf8').match(/project\(\S+ VERSION (\S+)/)[1];

let failures = 0;
const show = (value) => {
  const text = JSON.stringify(value);
  return text && text.length > 300 ? `${text.slice(0, 300)}... (${text.length} chars)` : text;
};
function check(name, ok, detail) {
  console.log(`${ok ? 'ok  ' : 'FAIL'} ${name}${ok ? '' : `: ${detail}`}`);
  if (!ok) failures++;
}
const expectEqual = (name, actual, expected) =>
  check(name, isDeepStrictEqual(actual, expected), `expected ${show(expected)}, got ${show(actual)}`);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
async function until(what, timeoutMs, test) {
  for (const deadline = Date.now() + timeoutMs; Date.now() < deadline; await sleep(25)) {
    if (await test()) return true;
  }
  return `timed out after ${timeoutMs} ms waiting for ${what}`;
}

// Processes this test starts itself, ended by id however the test ends.
const children = [];
function startChild(command, args, env) {
  const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'pipe'], env });
  child.output = '';
  for (const stream of [child.stdout, child.stderr]) stream.on('data', (chunk) => { child.output += chunk; });
  children.push(child);
  return child;
}
function stopChildren() {
  for (const child of children.splice(0)) {
    if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
  }
}
process.on('exit', stopChildren);
const run = (command, args, env) => spawnSync(command, args, { encoding: 'utf8', env, maxBuffer: 64 << 20 });

function extensionIdOf(manifestPath) {
  const key = JSON.parse(fs.readFileSync(manifestPath, 'utf8')).key;
  const digest = createHash('sha256').update(Buffer.from(key, 'base64')).digest('hex').slice(0, 32);
  return [...digest].map((c) => String.fromCharCode(97 + parseInt(c, 16))).join('');
}

// A temporary home, runtime and data folder, a profile, and a private bus.
function makeScene() {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'qorda-e2e-'));
  const dir = (name) => {
    fs.mkdirSync(path.join(root, name), { mode: 0o700 });
    return path.join(root, name);
  };
  const scene = { root, profile: dir('profile'), runtime: dir('runtime'), data: dir('data'), home: dir('home') };
  scene.socket = path.join(root, 'bus.socket');
  scene.bus = `unix:path=${scene.socket}`;
  scene.env = { PATH: process.env.PATH, LANG: 'C.UTF-8', HOME: scene.home, XDG_RUNTIME_DIR: scene.runtime,
    XDG_DATA_HOME: scene.data, XDG_CONFIG_HOME: path.join(scene.home, '.config'), DBUS_SESSION_BUS_ADDRESS: scene.bus };
  return scene;
}

// A session bus of our own, and a monitor of the capture signals that is
// known to listen once it has seen a probe.
async function startBus(scene) {
  const config = path.join(scene.root, 'bus.conf');
  fs.writeFileSync(config, `<busconfig><type>session</type><listen>${scene.bus}</listen><policy context="default">
<allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy></busconfig>\n`);
  const daemon = startChild('dbus-daemon', ['--nofork', '--nopidfile', `--config-file=${config}`], scene.env);
  const started = await until('the bus', 10000, () => fs.existsSync(scene.socket));
  if (started !== true) throw new Error(`${started}: ${daemon.output}`);
  const monitor = startChild('dbus-monitor', ['--address', scene.bus,
    "type='signal',interface='com.velmox.qorda.capture.intent'"], scene.env);
  const listening = await until('dbus-monitor to listen', 10000, () => {
    run('dbus-send', [`--address=${scene.bus}`, '--type=signal', '/com/velmox/qorda',
      'com.velmox.qorda.capture.intent.probe'], scene.env);
    return monitor.output.includes('member=probe');
  });
  if (listening !== true) throw new Error(`${listening}: ${daemon.output}${monitor.output}`);
  return monitor;
}

// The payloads of the submit signals that dbus-monitor has printed so far.
const submittedPayloads = (monitor) => monitor.output.split(/\n(?=signal )/)
  .filter((block) => block.includes('interface=com.velmox.qorda.capture.intent; member=submit'))
  .map((block) => block.match(/string "payload"\n\s*string "([^\n]*)"\n/)?.[1]);

function inboxRows(scene) {
  const database = path.join(scene.data, 'group.com.velmox.qorda', 'defaults.sqlite3');
  if (!fs.existsSync(database)) return [];
  const query = 'SELECT payload FROM capture_inbox_payloads ORDER BY id';
  const result = run('sqlite3', ['-readonly', '-json', database, query]);
  if (result.status !== 0) return [`sqlite3: ${result.stderr}`];
  return result.stdout.trim() ? JSON.parse(result.stdout).map((row) => row.payload) : [];
}

// The running host processes that this test's browser started.
const hostProcesses = (scene) => fs.readdirSync('/proc').filter((pid) => {
  try {
    return fs.readlinkSync(`/proc/${pid}/exe`) === hostPath &&
      fs.readFileSync(`/proc/${pid}/environ`, 'utf8').split('\0').includes(`XDG_RUNTIME_DIR=${scene.runtime}`);
  } catch {
    return false;
  }
});

const capture = (requestId, { url = 'https://videos.example/trailer.mp4', drmSuspected = false } = {}) => ({
  messageType: 'capture',
  requestId,
  payload: { intent: { resource: { url, mimeType: 'video/mp4' }, sourceContext: { pageUrl: url },
    detection: { signalType: 'direct_url' }, policyHints: { drmSuspected } } },
});
const accepted = (message, policyAction, reason) => ({ accepted: true, host: 'qorda-native-host', version: hostVersion,
  messageType: message.messageType, requestId: message.requestId, policyAction, ...(reason && { reason }) });

async function launch(scene, extensionId) {
  const context = await chromium.launchPersistentContext(scene.profile, {
    executablePath: chromiumPath, headless: true, env: scene.env, timeout: 60000,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', `--load-extension=${extensionDir}`, `--disable-extensions-except=${extensionDir}`],
  });
  const isOurs = (worker) => worker.url().startsWith(`chrome-extension://${extensionId}/`);
  const worker = context.serviceWorkers().find(isOurs) ||
    await context.waitForEvent('serviceworker', { predicate: isOurs, timeout: 30000 });
  return { context, call: (method, ...args) => worker.evaluate(([m, a]) => self.nativeTest[m](...a), [method, args]) };
}

async function main(scene) {
  const extensionId = extensionIdOf(path.join(extensionDir, 'manifest.json'));
  const monitor = await startBus(scene);
  fs.writeFileSync(path.join(scene.runtime, 'com.velmox.qorda.policy'), '{"userDenyHosts":["denied.example"]}');
  const install = run(setupPath, ['install', '--extension-id', extensionId, '--user-data-dir', scene.profile,
    '--host-path', hostPath], scene.env);
  const manifestPath = path.join(scene.profile, 'NativeMessagingHosts', `${hostName}.json`);
  const manifest = fs.existsSync(manifestPath) ? JSON.parse(fs.readFileSync(manifestPath, 'utf8')) : install;
  expectEqual('setup install registers the host in the profile',
    [install.status, manifest.path, manifest.allowed_origins], [0, hostPath, [`chrome-extension://${extensionId}/`]]);

  const { context, call } = await launch(scene, extensionId);
  try {
    // The hand-off comes before the reply: the row is there when it arrives.
    const takeover = capture('send-takeover');
    expectEqual('sendNativeMessage: takeover', await call('send', hostName, takeover),
      { reply: accepted(takeover, 'takeover') });
    const rows = inboxRows(scene);
    expectEqual('takeover: one inbox row, the message', rows.map((row) => JSON.parse(row)), [takeover]);
    const signalled = await until('the submit signal', 5000, () => submittedPayloads(monitor).includes(rows[0]));
    check('takeover: the submit signal carries the inbox row', signalled === true, signalled);

    await call('open', hostName);
    const denied = capture('port-denied', { url: 'https://denied.example/a.mp4' });
    expectEqual('port: a decision of the policy file', await call('post', denied),
      { reply: accepted(denied, 'blocked', 'user_denied_site') });
    // The browser would drop the port on a reply over 1 MiB.
    const huge = capture('x'.repeat((1 << 20) + 16), { drmSuspected: true });
    expectEqual('port: a reply over 1 MiB is sent as {}', await call('post', huge), { reply: {} });
    const after = capture('port-after', { drmSuspected: true });
    expectEqual('port: still answering after it', await call('post', after),
      { reply: accepted(after, 'blocked', 'drm_suspected') });
    const running = hostProcesses(scene).length;
    check('port: its host is running', running >= 1, `${running} host processes`);

    const timed = capture('timed', { drmSuspected: true });
    const send = await call('time', hostName, timed, samples);
    const port = await call('time', null, timed, samples);
    console.log(`round trips, mean of ${samples} (not asserted): sendNativeMessage ${send.reply?.toFixed(3)} ms, ` +
      `port ${port.reply?.toFixed(3)} ms`);
  } finally {
    await Promise.race([context.close().catch(() => {}), sleep(15000)]);
  }
  const ended = await until('the hosts to end', 10000, () => hostProcesses(scene).length === 0);
  check('host processes end with the browser', ended === true, `${ended}: ${hostProcesses(scene).join(' ')}`);
}

for (const file of [hostPath, setupPath, chromiumPath]) {
  if (!fs.existsSync(file)) {
    console.error(`browser: no ${file} (build it first, or pass --build-dir)`);
    process.exit(1);
  }
}
for (const signal of ['SIGINT', 'SIGTERM']) process.on(signal, () => process.exit(130));
setTimeout(() => {
  console.error('FAIL: the browser test took longer than 5 minutes');
  process.exit(1);
}, 300000).unref();
const scene = makeScene();
try {
  await main(scene);
} catch (error) {
  check('the browser test ran', false, error.stack || error);
} finally {
  stopChildren();
  if (process.env.QORDA_E2E_KEEP) console.log(`kept ${scene.root}`);
  else fs.rmSync(scene.root, { recursive: true, force: true });
}
console.log(`browser: ${failures ? `${failures} failed` : 'all passed'}`);
process.exit(failures ? 1 : 0);
