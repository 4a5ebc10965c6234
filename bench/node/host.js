#!/usr/bin/node
// A native messaging host on the chrome-native-messaging package, as its
// README shows. The bench sets the action and reason that the real host gives
// for the mix, so both replies have the same bytes.
'use strict';

const nativeMessage = require('chrome-native-messaging');

const action = process.env.QORDA_BENCH_ACTION || 'takeover';
const reason = process.env.QORDA_BENCH_REASON || '';

const answer = new nativeMessage.Transform((message, push, done) => {
  const reply = {
    accepted: true,
    host: 'qorda-native-host',
    version: '0.0.1',
    messageType: typeof message.messageType === 'string' ? message.messageType : 'unknown',
    requestId: typeof message.requestId === 'string' ? message.requestId : '',
    policyAction: action,
  };
  if (reason) reply.reason = reason;
  push(reply);
  done();
});

process.stdin
  .pipe(new nativeMessage.Input())
  .pipe(answer)
  .pipe(new nativeMessage.Output())
  .pipe(process.stdout);
