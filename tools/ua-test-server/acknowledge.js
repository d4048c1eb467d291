#!/usr/bin/env node
// Acknowledges one state of an alarm of `server.js --events`, as an operator's client would:
// method i=9111 called on the condition with the EventId of the state and a comment.
//
//   node acknowledge.js --url URL --condition NODEID --event-id HEX [--comment TEXT]
//
// Prints "OK" and exits 0, or prints what failed and exits 1 (77 without node-opcua installed).
"use strict";

console.log = console.error; // node-opcua's own chatter stays off standard output
console.info = console.error;

const fs = require("fs");
const os = require("os");
const path = require("path");

let opcua;
try {
  opcua = require("node-opcua");
} catch (err) {
  process.stdout.write(`SKIPPED: node-opcua is not installed (run scripts/deps): ${err.message}\n`);
  process.exit(77);
}
const { OPCUAClient, OPCUACertificateManager, MessageSecurityMode, SecurityPolicy, DataType, StatusCodes } =
  opcua;

function parseArgs(argv) {
  const opts = { comment: "acknowledged by a test" };
  for (let i = 0; i < argv.length; i += 2) {
    const key = argv[i];
    const value = argv[i + 1];
    if (value === undefined) throw new Error(`${key} needs a value`);
    if (key === "--url") opts.url = value;
    else if (key === "--condition") opts.condition = value;
    else if (key === "--event-id") opts.eventId = value;
    else if (key === "--comment") opts.comment = value;
    else throw new Error(`unknown option ${key}`);
  }
  if (!opts.url || !opts.condition || !opts.eventId) {
    throw new Error("usage: acknowledge.js --url URL --condition NODEID --event-id HEX [--comment TEXT]");
  }
  if (!/^([0-9a-fA-F]{2})+$/.test(opts.eventId)) throw new Error(`--event-id ${opts.eventId} is not hex`);
  return opts;
}

async function acknowledge(opts, certDir) {
  const client = OPCUAClient.create({
    endpointMustExist: false,
    securityMode: MessageSecurityMode.None,
    securityPolicy: SecurityPolicy.None,
    clientCertificateManager: new OPCUACertificateManager({
      rootFolder: path.join(certDir, "client_pki"),
      automaticallyAcceptUnknownCertificate: true,
    }),
    connectionStrategy: { maxRetry: 0 },
  });
  await client.connect(opts.url);
  try {
    const session = await client.createSession();
    const result = await session.call({
      objectId: opts.condition,
      methodId: "i=9111",
      inputArguments: [
        { dataType: DataType.ByteString, value: Buffer.from(opts.eventId, "hex") },
        { dataType: DataType.LocalizedText, value: { text: opts.comment } },
      ],
    });
    if (result.statusCode !== StatusCodes.Good) throw new Error(`Acknowledge answered ${result.statusCode}`);
    await session.close();
  } finally {
    await client.disconnect();
  }
}

async function main() {
  const opts = parseArgs(process.argv.slice(2));
  const certDir = fs.mkdtempSync(path.join(os.tmpdir(), "kestrane-acknowledge-"));
  try {
    await acknowledge(opts, certDir);
    process.stdout.write("OK\n");
  } finally {
    fs.rmSync(certDir, { recursive: true, force: true });
  }
}

main().then(
  () => process.exit(0),
  (err) => {
    process.stdout.write(`FAILED: ${err.message}\n`);
    process.exit(1);
  },
);
