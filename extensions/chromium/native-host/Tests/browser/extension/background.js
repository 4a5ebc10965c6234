// Native messaging on behalf of the browser test, which calls these through
// the service worker. Every call resolves to {reply} or {error}, so a failure
// comes back as data instead of an exception lost in the worker.
const replyTimeoutMs = 10000;
let port = null;
let waiting = [];
let closed = null;

function outcome(promise, what) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`no reply within ${replyTimeoutMs} ms to ${what}`)), replyTimeoutMs);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer))
    .then((reply) => ({ reply }), (error) => ({ error: String(error?.message ?? error) }));
}

// Replies on the port arrive in order: each settles the oldest message waiting.
function post(message) {
  if (closed) return Promise.reject(new Error(closed));
  return new Promise((resolve, reject) => {
    waiting.push({ resolve, reject });
    port.postMessage(message);
  });
}

self.nativeTest = {
  send: (hostName, message) => outcome(chrome.runtime.sendNativeMessage(hostName, message), 'sendNativeMessage'),
  open: (hostName) => {
    port = chrome.runtime.connectNative(hostName);
    port.onMessage.addListener((reply) => waiting.shift()?.resolve(reply));
    port.onDisconnect.addListener(() => {
      closed = `port closed: ${chrome.runtime.lastError?.message ?? 'disconnected'}`;
      for (const next of waiting.splice(0)) next.reject(new Error(closed));
    });
    return true;
  },
  post: (message) => outcome(post(message), 'a message on the port'),
  // The mean of count round trips in milliseconds, through sendNativeMessage
  // to hostName, or on the open port when hostName is null.
  time: (hostName, message, count) => outcome((async () => {
    const start = performance.now();
    const once = () => (hostName ? chrome.runtime.sendNativeMessage(hostName, message) : post(message));
    for (let i = 0; i < count; i++) await once();
    return (performance.now() - start) / count;
  })(), 'timed round trips'),
};
