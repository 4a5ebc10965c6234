// Native messaging on behalf of the browser test, which calls these through
// the service worker. Every call resolves to {reply} or {error}, so a failure
// comes back as data instead of an exception lost in the worker.
let port = null;
const waiting = [];
const settle = (promise) => Promise.race([promise, new Promise((_, reject) =>
  setTimeout(() => reject(new Error('no reply within 10 s')), 10000))])
  .then((reply) => ({ reply }), (error) => ({ error: String(error?.message ?? error) }));

self.nativeTest = {
  send: (hostName, message) => settle(chrome.runtime.sendNativeMessage(hostName, message)),
  open: (hostName) => {
    port = chrome.runtime.connectNative(hostName);
    port.onMessage.addListener((reply) => waiting.shift()?.resolve(reply));
    port.onDisconnect.addListener(() => waiting.splice(0).forEach((next) =>
      next.reject(new Error(`port closed: ${chrome.runtime.lastError?.message}`))));
    return true;
  },
  // Replies on the port arrive in order: each settles the oldest message waiting.
  post: (message) => settle(new Promise((resolve, reject) => {
    waiting.push({ resolve, reject });
    port.postMessage(message);
  })),
};
