// Drives Debian's Chromium with the test extension against the built host:
// registration through the setup command, every decision through
// sendNativeMessage and through one open port, the takeover's inbox entry and
// bus signal, and round-trip figures against a do-nothing C host.
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
const referenceHostName = 'com.velmox.qorda.reference_host';
const policyFileName = 'com.velmox.qorda.policy';
const oneMiB = 1024 * 1024;
const samples = Number(process.env.QORDA_E2E_SAMPLES || 30);
const portBatch = 10;

function argument(name, fallback) {
  const at = process.argv.indexOf(name);
  return at >= 0 && process.argv[at + 1] ? process.argv[at + 1] : fallback;
}
const buildDir = path.resolve(argument('--build-dir', path.join(repo, 'build')));
const hostPath = path.join(buildDir, 'extensions/chromium/native-host/QordaNativeMessagingHost');
const setupPath = path.join(buildDir, 'tools/setup/qorda-native-host-setup');
const chromiumPath = process.env.CHROMIUM || '/usr/bin/chromium';

// --- bookkeeping --------------------------------------------------------

let passed = 0;
const failures = [];
function check(name, ok, detail) {
  if (ok) {
    passed++;
  } else {
    failures.push(name);
    console.error(`FAIL ${name}: ${detail}`);
  }
  return ok;
}
function expectEqual(name, actual, expected) {
  return check(name, isDeepStrictEqual(actual, expected), difference(actual, expected));
}
// The members that differ, when both sides are objects; else both whole.
function difference(actual, expected) {
  const isObject = (value) => value !== null && typeof value === 'object' && !Array.isArray(value);
  if (!isObject(actual) || !isObject(expected)) {
    return `expected ${shorten(JSON.stringify(expected))}, got ${shorten(JSON.stringify(actual))}`;
  }
  const keys = new Set([...Object.keys(expected), ...Object.keys(actual)]);
  return [...keys].filter((key) => !isDeepStrictEqual(actual[key], expected[key]))
    .map((key) => `"${key}" expected ${shorten(JSON.stringify(expected[key]))}, got ${shorten(JSON.stringify(actual[key]))}`)
    .join('; ');
}
function shorten(text) {
  return text === undefined ? 'nothing' : text.length > 300 ? `${text.slice(0, 300)}... (${text.length} chars)` : text;
}
function fatal(message) {
  throw new Error(message);
}
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
async function until(what, timeoutMs, test) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await test();
    if (value) return value;
    if (Date.now() > deadline) fatal(`timed out after ${timeoutMs} ms waiting for ${what}`);
    await sleep(25);
  }
}

// Processes this test starts itself, ended by id however the test ends.
const children = [];
function startChild(command, args, options = {}) {
  const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'pipe'], ...options });
  child.output = '';
  child.stdout.on('data', (chunk) => { child.output += chunk; });
  child.stderr.on('data', (chunk) => { child.output += chunk; });
  child.on('error', (error) => { child.output += `\n${error.message}`; });
  children.push(child);
  return child;
}
function stopChildren() {
  for (const child of children.splice(0)) {
    if (child.pid && child.exitCode === null && child.signalCode === null) {
      try { process.kill(child.pid, 'SIGTERM'); } catch { /* already gone */ }
    }
  }
}
process.on('exit', stopChildren);

function run(command, args, options = {}) {
  const result = spawnSync(command, args, { encoding: 'utf8', maxBuffer: 256 * 1024 * 1024, ...options });
  if (result.error) fatal(`${command}: ${result.error.message}`);
  return result;
}

// --- the scene: a temporary home, a private bus, a policy ------------------

function extensionIdOf(manifestPath) {
  const key = JSON.parse(fs.readFileSync(manifestPath, 'utf8')).key;
  const digest = createHash('sha256').update(Buffer.from(key, 'base64')).digest('hex').slice(0, 32);
  return [...digest].map((c) => String.fromCharCode('a'.charCodeAt(0) + parseInt(c, 16))).join('');
}

function makeScene() {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'qorda-e2e-'));
  const scene = {
    root,
    home: path.join(root, 'home'),
    runtime: path.join(root, 'runtime'),
    data: path.join(root, 'data'),
    profile: path.join(root, 'profile'),
    busSocket: path.join(root, 'bus.socket'),
  };
  for (const dir of [scene.home, scene.runtime, scene.data, scene.profile]) fs.mkdirSync(dir, { mode: 0o700 });
  scene.busAddress = `unix:path=${scene.busSocket}`;
  scene.policyPath = path.join(scene.runtime, policyFileName);
  scene.inboxPath = path.join(scene.data, 'group.com.velmox.qorda', 'defaults.sqlite3');
  scene.env = {
    PATH: process.env.PATH || '/usr/bin:/bin',
    LANG: 'C.UTF-8',
    HOME: scene.home,
    XDG_RUNTIME_DIR: scene.runtime,
    XDG_DATA_HOME: scene.data,
    XDG_CONFIG_HOME: path.join(scene.home, '.config'),
    XDG_CACHE_HOME: path.join(scene.home, '.cache'),
    DBUS_SESSION_BUS_ADDRESS: scene.busAddress,
  };
  return scene;
}

async function startBus(scene) {
  const config = path.join(scene.root, 'bus.conf');
  fs.writeFileSync(config, `<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>session</type><listen>unix:path=${scene.busSocket}</listen>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>
`);
  const daemon = startChild('dbus-daemon', ['--nofork', '--nopidfile', `--config-file=${config}`], { env: scene.env });
  await until('the private dbus-daemon', 10000, () => {
    if (daemon.exitCode !== null) fatal(`dbus-daemon exited: ${daemon.output}`);
    return fs.existsSync(scene.busSocket);
  });

  // Every signal of the capture interface; a probe shows when it listens.
  const monitor = startChild('dbus-monitor', ['--address', scene.busAddress,
    "type='signal',interface='com.velmox.qorda.capture.intent'"], { env: scene.env });
  await until('dbus-monitor to listen', 10000, () => {
    if (monitor.exitCode !== null) fatal(`dbus-monitor exited: ${monitor.output}`);
    run('dbus-send', [`--address=${scene.busAddress}`, '--type=signal', '/com/velmox/qorda',
      'com.velmox.qorda.capture.intent.probe'], { env: scene.env });
    return monitor.output.includes('member=probe');
  });
  return monitor;
}

// The payloads of the submit signals that dbus-monitor has printed so far.
function submittedPayloads(monitor) {
  const payloads = [];
  const blocks = monitor.output.split(/\n(?=signal )/);
  for (const block of blocks) {
    if (!/path=\/com\/velmox\/qorda; interface=com\.velmox\.qorda\.capture\.intent; member=submit/.test(block)) continue;
    const match = block.match(/string "payload"\n\s*string "([^\n]*)"\n/);
    if (match) payloads.push(match[1]);
  }
  return payloads;
}

function writePolicy(scene, policy) {
  const temporary = `${scene.policyPath}.new`;
  fs.writeFileSync(temporary, JSON.stringify(policy));
  fs.renameSync(temporary, scene.policyPath);
}

function inboxEntries(scene) {
  if (!fs.existsSync(scene.inboxPath)) return [];
  const result = run('sqlite3', ['-readonly', '-batch', scene.inboxPath,
    "SELECT value FROM defaults WHERE key = 'capture_inbox_payloads'"]);
  if (result.status !== 0) fatal(`sqlite3 could not read the inbox: ${result.stderr}`);
  const text = result.stdout.replace(/\n$/, '');
  return text === '' ? [] : JSON.parse(text);
}

function register(scene, extensionId, name, program) {
  const install = run(setupPath, ['install', '--extension-id', extensionId, '--user-data-dir', scene.profile,
    '--name', name, '--host-path', program], { env: scene.env });
  if (install.status !== 0) fatal(`setup install for ${name} failed (${install.status}): ${install.stderr}${install.stdout}`);
}

function buildReferenceHost(scene, replyText) {
  fs.writeFileSync(path.join(scene.root, 'reference_reply.h'),
    `static const char referenceReply[] = ${JSON.stringify(replyText)};\n`);
  const program = path.join(scene.root, 'reference-host');
  const compile = run('gcc', ['-O2', '-static', '-I', scene.root, '-o', program, path.join(here, 'reference_host.c')]);
  if (compile.status !== 0) fatal(`could not build the reference host: ${compile.stderr}`);
  return program;
}

// --- messages ----------------------------------------------------------

function capture(requestId, {
  url = 'https://videos.example/uploads/trailer.mp4',
  pageUrl = 'https://videos.example/watch/trailer',
  mimeType = 'video/mp4',
  signalType = 'direct_url',
  deliveryType = 'progressive',
  drmSuspected = false,
} = {}) {
  return {
    messageType: 'capture',
    requestId,
    payload: {
      intent: {
        resource: { url, mimeType },
        sourceContext: { pageUrl },
        detection: { signalType },
        classification: { deliveryType },
        policyHints: { drmSuspected },
      },
    },
  };
}

const basePolicy = {
  hardBlockedHosts: ['hard.example'],
  userDenyHosts: ['denied.example', 'switch.example'],
  remoteBypassHosts: ['remote.example'],
  bypassRules: [
    { scope: 'hostAll', pattern: 'whole.example', enabled: true },
    { scope: 'exactURL', pattern: 'https://exact.example/clips/intro.mp4', enabled: true },
    { scope: 'pathPrefix', pattern: 'https://prefix.example/private/', enabled: true },
  ],
};
// The same, with switch.example moved from denied to bypassed.
const switchedPolicy = {
  ...basePolicy,
  userDenyHosts: ['denied.example'],
  remoteBypassHosts: ['remote.example', 'switch.example'],
};

// name, request fields, expected decision [, reason].
const decisions = [
  ['takeover', {}, 'takeover'],
  ['drm', { drmSuspected: true }, 'blocked', 'drm_suspected'],
  ['websocket', { deliveryType: 'websocket_custom_transport' }, 'blocked', 'websocket_transport'],
  ['scheme', { url: 'ftp://videos.example/trailer.mp4' }, 'blocked', 'unsupported_scheme'],
  ['mime', { mimeType: 'text/html' }, 'blocked', 'non_media_mime'],
  ['hard-blocked', { url: 'https://hard.example/a.mp4', pageUrl: 'https://hard.example/' }, 'blocked', 'hard_blocked_site'],
  ['user-denied', { url: 'https://denied.example/a.mp4', pageUrl: 'https://denied.example/' }, 'blocked', 'user_denied_site'],
  ['remote-bypass', { url: 'https://remote.example/a.mp4', pageUrl: 'https://remote.example/' }, 'bypass', 'remote_bypass_site'],
  ['rule-host', { url: 'https://whole.example/a.mp4', pageUrl: 'https://whole.example/' }, 'bypass', 'user_bypass_rule'],
  ['rule-exact', { url: 'https://exact.example/clips/intro.mp4', pageUrl: 'https://exact.example/' }, 'bypass', 'user_bypass_rule'],
  ['rule-prefix', { url: 'https://prefix.example/private/b.mp4', pageUrl: 'https://prefix.example/' }, 'bypass', 'user_bypass_rule'],
];
const switchFields = { url: 'https://switch.example/a.mp4', pageUrl: 'https://switch.example/' };

let hostVersion;
function acceptedReply(message, policyAction, reason) {
  const reply = {
    accepted: true,
    host: 'qorda-native-host',
    version: hostVersion,
    messageType: message.messageType,
    requestId: message.requestId,
    policyAction,
  };
  if (reason) reply.reason = reason;
  return reply;
}

// --- the browser ---------------------------------------------------------

async function launch(scene, extensionId) {
  const context = await chromium.launchPersistentContext(scene.profile, {
    executablePath: chromiumPath,
    headless: true,
    env: scene.env,
    timeout: 60000,
    args: [
      '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync',
      `--load-extension=${extensionDir}`, `--disable-extensions-except=${extensionDir}`,
    ],
  });
  const prefix = `chrome-extension://${extensionId}/`;
  let worker = context.serviceWorkers().find((w) => w.url().startsWith(prefix));
  if (!worker) {
    worker = await context.waitForEvent('serviceworker', { predicate: (w) => w.url().startsWith(prefix), timeout: 30000 })
      .catch(() => fatal(`the test extension's service worker never started under ${prefix} ` +
        `(workers: ${context.serviceWorkers().map((w) => w.url()).join(', ') || 'none'})`));
  }
  return { context, worker };
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = sorted.length >> 1;
  return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

async function main() {
  for (const [what, file] of [['host', hostPath], ['setup command', setupPath], ['chromium', chromiumPath]]) {
    try { fs.accessSync(file, fs.constants.X_OK); } catch { fatal(`no ${what} at ${file} (build it first, or pass --build-dir)`); }
  }
  hostVersion = fs.readFileSync(path.join(repo, 'CMakeLists.txt'), 'utf8').match(/project\(\S+ VERSION (\S+)/)[1];
  const extensionId = extensionIdOf(path.join(extensionDir, 'manifest.json'));
  const scene = makeScene();
  console.log(`browser test: extension ${extensionId}, scene ${scene.root}`);
  let context;
  const watchdog = setTimeout(() => {
    console.error('FAIL: the browser test took longer than 5 minutes');
    process.exit(1);
  }, 300000);
  watchdog.unref();
  try {
    const monitor = await startBus(scene);
    writePolicy(scene, basePolicy);

    register(scene, extensionId, hostName, hostPath);
    const manifestPath = path.join(scene.profile, 'NativeMessagingHosts', `${hostName}.json`);
    const manifest = fs.existsSync(manifestPath) ? JSON.parse(fs.readFileSync(manifestPath, 'utf8')) : undefined;
    expectEqual('registration: manifest in the profile',
      manifest && { path: manifest.path, allowed_origins: manifest.allowed_origins },
      { path: hostPath, allowed_origins: [`chrome-extension://${extensionId}/`] });
    const status = run(setupPath, ['status', '--extension-id', extensionId, '--user-data-dir', scene.profile],
      { env: scene.env });
    check('registration: status', status.status === 0, `exit ${status.status}: ${status.stdout}${status.stderr}`);

    const timedMessage = capture('timed', decisions.find((d) => d[0] === 'remote-bypass')[1]);
    const timedReply = JSON.stringify(acceptedReply(timedMessage, 'bypass', 'remote_bypass_site'));
    register(scene, extensionId, referenceHostName, buildReferenceHost(scene, timedReply));

    let worker;
    ({ context, worker } = await launch(scene, extensionId));
    const call = (method, ...args) => worker.evaluate(([m, a]) => self.nativeTest[m](...a), [method, args]);
    const expectReply = (name, outcome, expected) =>
      outcome.error ? check(name, false, outcome.error) : expectEqual(name, outcome.reply, expected);

    // A takeover is handed off: one more inbox entry, the message itself,
    // and the same text in a submit signal.
    const checkHandOff = async (name, message, inboxBefore) => {
      const entries = inboxEntries(scene);
      if (!check(`${name}: inbox grew by one`, entries.length === inboxBefore + 1,
        `${inboxBefore} entries before, ${entries.length} after`)) return;
      const entry = entries[entries.length - 1];
      expectEqual(`${name}: inbox entry`, JSON.parse(entry), message);
      const seen = await until(`${name}: the submit signal`, 5000, () => submittedPayloads(monitor).includes(entry))
        .catch((error) => error.message);
      check(`${name}: submit signal carries the entry`, seen === true, seen);
    };

    const exchange = async (name, via, message, expected) => {
      const before = expected.policyAction === 'takeover' ? inboxEntries(scene).length : 0;
      const outcome = via === 'send' ? await call('send', hostName, message) : await call('post', hostName, message);
      const ok = expectReply(name, outcome, expected);
      if (ok && expected.policyAction === 'takeover') await checkHandOff(name, message, before);
    };

    const bigId = 'x'.repeat(oneMiB + 16);
    for (const via of ['send', 'port']) {
      if (via === 'port') await call('open', hostName);
      for (const [name, fields, action, reason] of decisions) {
        const message = capture(`${via}-${name}`, fields);
        await exchange(`${via} ${name}`, via, message, acceptedReply(message, action, reason));
      }
      // An echo over 1 MiB could not be sent, so the host answers {}. Not a
      // takeover, so that no megabyte lands in the inbox.
      await exchange(`${via} requestId over 1 MiB`, via, capture(bigId, { drmSuspected: true }), {});
      const after = capture(`${via}-after-big`, { drmSuspected: true });
      await exchange(`${via} answered after the big one`, via, after, acceptedReply(after, 'blocked', 'drm_suspected'));
    }

    await exchange('port JSON array', 'port', [1, 'two'],
      { accepted: false, reason: 'invalid_json_shape', host: 'qorda-native-host', version: hostVersion });

    const before = capture('port-switch-before', switchFields);
    await exchange('port policy before the change', 'port', before, acceptedReply(before, 'blocked', 'user_denied_site'));
    writePolicy(scene, switchedPolicy);
    const afterSwitch = capture('port-switch-after', switchFields);
    await exchange('port policy after the change', 'port', afterSwitch,
      acceptedReply(afterSwitch, 'bypass', 'remote_bypass_site'));
    writePolicy(scene, basePolicy);

    // Figures: rounds alternate between the hosts so that load from others
    // on the machine falls on both alike.
    const reference = await call('send', referenceHostName, timedMessage);
    expectReply('reference host reply', reference, JSON.parse(timedReply));
    await call('open', referenceHostName);
    const times = {};
    const record = async (key, method, name, message, batches, batchSize) => {
      const outcome = await call(method, name, message, batches, batchSize);
      if (outcome.error) fatal(`timing ${key}: ${outcome.error}`);
      (times[key] ??= []).push(...outcome.reply);
    };
    for (let round = 0; round < 3; round++) {
      for (const [key, name, message] of [['ours', hostName, timedMessage], ['C', referenceHostName, timedMessage],
        ['ours takeover', hostName, capture('timed-takeover')]]) {
        await record(`send ${key}`, 'timeSend', name, message, Math.ceil(samples / 3), 1);
        await record(`port ${key}`, 'timePost', name, message, Math.ceil(samples / 3), portBatch);
      }
    }
    await call('close', referenceHostName);
    await call('close', hostName);

    console.log(`\nround trips inside the service worker, median ms (on the port: of ${portBatch}-message batch means):`);
    for (const kind of ['send', 'port']) {
      const label = kind === 'send' ? 'sendNativeMessage' : 'message on an open port';
      const ours = median(times[`${kind} ours`]);
      const reference = median(times[`${kind} C`]);
      const takeover = median(times[`${kind} ours takeover`]);
      console.log(`  ${label.padEnd(24)} ours ${ours.toFixed(3)}  static C host ${reference.toFixed(3)}  ` +
        `ratio ${(ours / reference).toFixed(2)} (target <= 1.15)  takeover ${takeover.toFixed(3)}  ` +
        `(${times[`${kind} ours`].length} each)`);
    }
  } finally {
    if (context) await Promise.race([context.close().catch(() => {}), sleep(15000)]);
    stopChildren();
    if (process.env.QORDA_E2E_KEEP) console.log(`kept ${scene.root}`);
    else fs.rmSync(scene.root, { recursive: true, force: true });
  }
}

for (const signal of ['SIGINT', 'SIGTERM']) {
  process.on(signal, () => {
    stopChildren();
    process.exit(130);
  });
}

try {
  await main();
} catch (error) {
  failures.push('setup');
  console.error(`FAIL: ${error.stack || error}`);
}
console.log(`\nbrowser: ${passed} passed, ${failures.length} failed`);
process.exit(failures.length ? 1 : 0);
