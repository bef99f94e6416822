// The smallest useful node-ssdp client, for the end-to-end bench: one search on one interface,
// listen for a fixed window, then print each distinct responder once and exit.
//
//   NODE_PATH=<folder holding node_modules/node-ssdp> node node_ssdp_client.js IF WINDOW_MS TARGET
//
//   responder uuid:R0VA-...::upnp:rootdevice http://192.0.2.10/ROVA.XML
//   responses 66            (datagrams answered, duplicates included)
'use strict';

const { Client } = require('node-ssdp');

const [iface, windowText, target] = process.argv.slice(2);
const windowMs = Number(windowText);
if (!iface || !(windowMs > 0) || !target) {
  console.error('usage: node node_ssdp_client.js INTERFACE WINDOW_MS TARGET');
  process.exit(2);
}

const client = new Client({ interfaces: [iface], explicitSocketBind: false });
const locations = new Map();
let responses = 0;

client.on('response', (headers) => {
  responses += 1;
  if (headers.USN && !locations.has(headers.USN)) locations.set(headers.USN, headers.LOCATION);
});

client.search(target);
setTimeout(() => {
  client.stop();
  for (const [usn, location] of locations) console.log(`responder ${usn} ${location}`);
  console.log(`responses ${responses}`);
}, windowMs);
