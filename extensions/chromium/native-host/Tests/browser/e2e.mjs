// What only a browser shows, with Debian's Chromium and the test extension
// against the INSTALLED host (scripts/test package installs the .deb): a
// fresh profile finds the host through the system-wide manifest alone; one
// exchange through sendNativeMessage and one through a port; a takeover
// reaching the inbox and the bus; the 1 MiB reply cap; hosts ending with the
// browser. The decision table itself is the black-box suite's.
//
// Usage: node --test e2e.mjs. Environment: CHROMIUM (default
// /usr/bin/chromium), QORDA_E2E_KEEP=1 keeps the temporary folder.
import { chromium } from 'playwright-core';
import { spawn, spawnSync } from 'node:child_process';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import test from 'node:test';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const extensionDir = path.join(here, 'extension');
const version = fs.readFileSync(path.join(here, '../../../../../CMakeLists.txt'), 'utf8').match(/project\(\S+ VERSION (\S+)/)[1];
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
async function until(what, ok) {
  for (const end = Date.now() + 10000; Date.now() < end; await sleep(25)) if (await ok()) return;
  assert.fail(`timed out waiting for ${what}`);
}
const run = (command, args) => spawnSync(command, args, { encoding: 'utf8' });

// A fresh home, profile, runtime and data folder, and a private session bus.
const root = fs.mkdtempSync(path.join(os.tmpdir(), 'qorda-e2e-'));
const scene = { bus: `unix:path=${root}/bus` };
for (const name of ['profile', 'runtime', 'data', 'home']) fs.mkdirSync(scene[name] = path.join(root, name));
const env = { PATH: process.env.PATH, HOME: scene.home, XDG_RUNTIME_DIR: scene.runtime, XDG_DATA_HOME: scene.data,
  XDG_CONFIG_HOME: `${scene.home}/.config`, DBUS_SESSION_BUS_ADDRESS: scene.bus };
fs.writeFileSync(`${scene.runtime}/com.velmox.qorda.policy`, '{"userDenyHosts":["denied.example"]}');
// Processes this test starts itself, ended by id however it ends.
const children = ['dbus-daemon', 'dbus-monitor'].map((command) => {
  const child = spawn(command, command === 'dbus-daemon' ? ['--session', '--nofork', '--nopidfile', `--address=${scene.bus}`]
    : ['--address', scene.bus, "interface='com.velmox.qorda.capture.intent'"], { stdio: ['ignore', 'pipe', 'pipe'] });
  child.output = '';
  for (const stream of [child.stdout, child.stderr]) stream.on('data', (chunk) => { child.output += chunk; });
  return child;
});
test.after(() => children.forEach((child) => child.kill('SIGTERM')) ||
  process.env.QORDA_E2E_KEEP || fs.rmSync(root, { recursive: true, force: true }));

const submittedPayloads = () => children[1].output.split(/\n(?=signal )/).filter((block) => block.includes('member=submit'))
  .map((block) => block.match(/string "payload"\n\s*string "([^\n]*)"\n/)?.[1]);
const inboxRows = () => JSON.parse(run('sqlite3', ['-readonly', '-json', `${scene.data}/group.com.velmox.qorda/defaults.sqlite3`,
  'SELECT payload FROM capture_inbox_payloads ORDER BY id']).stdout || '[]').map((row) => row.payload);
// The running hosts: this test alone starts the installed one.
const exeOf = (pid) => { try { return fs.readlinkSync(`/proc/${pid}/exe`); } catch { return null; } };
const hostProcesses = (hostPath) => fs.readdirSync('/proc').filter((pid) => exeOf(pid) === hostPath);
const capture = (requestId, url = 'https://videos.example/trailer.mp4', drmSuspected = false) => ({
  messageType: 'capture', requestId, payload: { intent: { resource: { url, mimeType: 'video/mp4' },
    sourceContext: { pageUrl: url }, detection: { signalType: 'direct_url' }, policyHints: { drmSuspected } } } });
const accepted = (message, policyAction, reason) => ({ accepted: true, host: 'qorda-native-host', version,
  messageType: message.messageType, requestId: message.requestId, policyAction, ...(reason && { reason }) });

test('Chromium with a fresh profile and the installed host', { timeout: 300000 }, async () => {
  const hostPath = JSON.parse(fs.readFileSync(`/etc/chromium/native-messaging-hosts/com.velmox.qorda.native_host.json`, 'utf8')).path;
  await until('the bus and a monitor that listens', () => run('dbus-send', [`--address=${scene.bus}`, '--type=signal',
    '/com/velmox/qorda', 'com.velmox.qorda.capture.intent.probe']) && children[1].output.includes('member=probe'));
  const context = await chromium.launchPersistentContext(scene.profile, {
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true, env, timeout: 60000,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', `--load-extension=${extensionDir}`, `--disable-extensions-except=${extensionDir}`],
  });
  try {
    // The test extension's ID is the one the package's manifest allows.
    const ours = (worker) => worker.url().endsWith('/background.js');
    const worker = context.serviceWorkers().find(ours) || await context.waitForEvent('serviceworker', { predicate: ours });
    const send = (message) => worker.evaluate(([n, m]) => chrome.runtime.sendNativeMessage(n, m), ['com.velmox.qorda.native_host', message]);
    // Replies on the port arrive in order, one per message posted.
    const post = (message) => worker.evaluate((m) => new Promise((resolve, reject) => {
      self.port ??= chrome.runtime.connectNative('com.velmox.qorda.native_host');
      const onClose = () => reject(new Error(`port closed: ${chrome.runtime.lastError?.message}`));
      port.onMessage.addListener(function onReply(reply) {
        [port.onMessage.removeListener(onReply), port.onDisconnect.removeListener(onClose), resolve(reply)];
      });
      port.onDisconnect.addListener(onClose);
      port.postMessage(m);
    }), message);
    // The hand-off comes before the reply: the row is there when it arrives.
    const takeover = capture('send-takeover');
    assert.deepEqual(await send(takeover), accepted(takeover, 'takeover'));
    const rows = inboxRows();
    assert.deepEqual(rows.map((row) => JSON.parse(row)), [takeover]);
    await until('the submit signal that carries the inbox row', () => submittedPayloads().includes(rows[0]));

    const denied = capture('port-denied', 'https://denied.example/a.mp4');
    assert.deepEqual(await post(denied), accepted(denied, 'blocked', 'user_denied_site'));
    // The browser would drop the port on a reply over 1 MiB.
    assert.deepEqual(await post(capture('x'.repeat((1 << 20) + 16), undefined, true)), {});
    const after = capture('port-after', undefined, true);
    assert.deepEqual(await post(after), accepted(after, 'blocked', 'drm_suspected'));
    assert.equal(hostProcesses(hostPath).length, 1, `the port's host ${hostPath} runs`);
  } finally {
    await Promise.race([context.close().catch(() => {}), new Promise((resolve) => setTimeout(resolve, 15000).unref())]);
  }
  await until('the hosts to end with the browser', () => hostProcesses(hostPath).length === 0);
});
