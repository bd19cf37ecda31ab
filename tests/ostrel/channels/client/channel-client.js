// A browser-like RFC 6455 client for the event channel tests.
// Usage: node channel-client.js URL ORIGIN MODE
//   events: prints the first message, pings, and closes with 1000 once the pong came
//   talk:   sends "hello" and waits for the server to close
//   either way it prints "open", "message TEXT", "pong", "status CODE" (a refused
//   handshake), "error TEXT" and "close CODE", one a line.
'use strict';
const WebSocket = require('ws');

const [url, origin, mode] = process.argv.slice(2);
const say = (line) => process.stdout.write(line + '\n');
setTimeout(() => { say('timeout'); process.exit(2); }, 20000);

const socket = new WebSocket(url, { origin });
socket.on('unexpected-response', (request, response) => {
  say('status ' + response.statusCode);
  process.exit(0);
});
socket.on('error', (error) => say('error ' + error.message));
socket.on('open', () => {
  say('open');
  if (mode === 'talk') socket.send('hello');
});
socket.on('message', (data) => {
  say('message ' + data.toString());
  if (mode === 'events') socket.ping('hi');
});
socket.on('pong', (data) => {
  say('pong ' + data.toString());
  if (mode === 'events') socket.close(1000);
});
socket.on('close', (code) => {
  say('close ' + code);
  process.exit(0);
});
