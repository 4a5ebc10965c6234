// Native messaging on behalf of the browser test, which calls these through
// the service worker. Every call resolves to {reply} or {error}, so a failure
// comes back as data instead of an exception lost in the worker.

const replyTimeoutMs = 10000;

function withTimeout(promise, what) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`no reply within ${replyTimeoutMs} ms to ${what}`)), replyTimeoutMs);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

function outcome(promise) {
  return promise.then(
    (reply) => ({ reply }),
    (error) => ({ error: String(error && error.message ? error.message : error) }),
  );
}

// One open port per host name; replies arrive in order, so each one settles
// the oldest message still waiting.
const ports = new Map();

function openPort(hostName) {
  const port = chrome.runtime.connectNative(hostName);
  const state = { port, waiting: [], disconnected: null };
  port.onMessage.addListener((reply) => {
    const next = state.waiting.shift();
    if (next) next.resolve(reply);
  });
  port.onDisconnect.addListener(() => {
    const cause = chrome.runtime.lastError ? chrome.runtime.lastError.message : 'disconnected';
    state.disconnected = `port closed: ${cause}`;
    for (const next of state.waiting.splice(0)) next.reject(new Error(state.disconnected));
  });
  ports.set(hostName, state);
}

function postOnPort(hostName, message) {
  const state = ports.get(hostName);
  if (!state) return Promise.reject(new Error(`no port open to ${hostName}`));
  if (state.disconnected) return Promise.reject(new Error(state.disconnected));
  return new Promise((resolve, reject) => {
    state.waiting.push({ resolve, reject });
    state.port.postMessage(message);
  });
}

// Mean round trips in milliseconds over batches of sequential calls: the
// worker's clock ticks in 0.1 ms, coarser than one message on a port.
async function timed(batches, batchSize, call, what) {
  const means = [];
  for (let i = 0; i < batches; i++) {
    const start = performance.now();
    for (let j = 0; j < batchSize; j++) await withTimeout(call(), what);
    means.push((performance.now() - start) / batchSize);
  }
  return means;
}

self.nativeTest = {
  send: (hostName, message) =>
    outcome(withTimeout(chrome.runtime.sendNativeMessage(hostName, message), `sendNativeMessage(${hostName})`)),
  open: (hostName) => {
    openPort(hostName);
    return true;
  },
  post: (hostName, message) =>
    outcome(withTimeout(postOnPort(hostName, message), `a message on the port to ${hostName}`)),
  close: (hostName) => {
    const state = ports.get(hostName);
    if (state) state.port.disconnect();
    ports.delete(hostName);
    return true;
  },
  // A failure ends the series as an error.
  timeSend: (hostName, message, batches, batchSize) =>
    outcome(timed(batches, batchSize, () => chrome.runtime.sendNativeMessage(hostName, message),
      `sendNativeMessage(${hostName})`)),
  timePost: (hostName, message, batches, batchSize) =>
    outcome(timed(batches, batchSize, () => postOnPort(hostName, message), `a message on the port to ${hostName}`)),
};
