// The browser test (../e2e.mjs) runs its native messaging calls in this
// service worker, as the extension itself would.
