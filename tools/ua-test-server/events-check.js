#!/usr/bin/env node
// Checks the events of `server.js --events` with a plain node-opcua client, and shows the calls
// an event client makes: an event item on the Server object, ConditionRefresh, Acknowledge.
//
//   node events-check.js [--url URL --ns N] [--verbose]
//
// Without --url it starts `server.js --events` itself (certificates in a temporary folder) and
// stops it afterwards; --ns is the demo namespace's index (the ready line's ns=, default 2).
// --verbose prints every event received on standard error.
// Prints "OK" and exits 0, or prints what failed and exits 1 (77 without node-opcua installed).
// Takes a few seconds.
"use strict";

console.log = console.error; // node-opcua's own chatter stays off standard output
console.info = console.error;

const fs = require("fs");
const os = require("os");
const path = require("path");
const { spawn } = require("child_process");
// Exits with status 77 (a skip to CTest) where the npm modules are not installed.
const SKIP = 77;
function nodeOpcua() {
  try {
    return require("node-opcua");
  } catch (err) {
    process.stdout.write(`SKIPPED: node-opcua is not installed (run scripts/deps): ${err.message}\n`);
    process.exit(SKIP);
  }
}
const {
  OPCUAClient,
  OPCUACertificateManager,
  MessageSecurityMode,
  SecurityPolicy,
  AttributeIds,
  ClientMonitoredItem,
  TimestampsToReturn,
  EventFilter,
  SimpleAttributeOperand,
  ContentFilter,
  DataType,
  StatusCodes,
  coerceNodeId,
  coerceQualifiedName,
} = nodeOpcua();

const BASE_EVENT_TYPE = "i=2041";
const CONDITION_TYPE = "i=2782";
const CONDITION_REFRESH = "i=3875";
const REFRESH_START_EVENT_TYPE = "i=2787";
const REFRESH_END_EVENT_TYPE = "i=2788";
const ACKNOWLEDGE = "i=9111"; // AcknowledgeableConditionType.Acknowledge
const SERVER_OBJECT = "i=2253";

// The select clauses, in the order their values arrive in each event.
const FIELDS = [
  "EventId",
  "EventType",
  "SourceName",
  "Message",
  "Severity",
  "ActiveState/Id",
  "AckedState/Id",
  "ConditionId",
];

function eventFilter() {
  const selectClauses = FIELDS.map((field) =>
    field === "ConditionId"
      ? // The condition's own NodeId: the NodeId attribute of the ConditionType, no path.
        new SimpleAttributeOperand({
          typeDefinitionId: coerceNodeId(CONDITION_TYPE),
          browsePath: [],
          attributeId: AttributeIds.NodeId,
        })
      : new SimpleAttributeOperand({
          typeDefinitionId: coerceNodeId(BASE_EVENT_TYPE),
          browsePath: field.split("/").map((name) => coerceQualifiedName(name)),
          attributeId: AttributeIds.Value,
        }),
  );
  return new EventFilter({ selectClauses, whereClause: new ContentFilter({ elements: [] }) });
}

function parseArgs(argv) {
  const opts = { url: undefined, ns: 2, verbose: false };
  for (let i = 0; i < argv.length; i += 2) {
    const [key, value] = [argv[i], argv[i + 1]];
    if (key === "--verbose") {
      opts.verbose = true;
      i--;
      continue;
    }
    if (value === undefined) throw new Error(`${key} needs a value`);
    if (key === "--url") opts.url = value;
    else if (key === "--ns") opts.ns = Number(value);
    else throw new Error(`unknown option '${key}'`);
  }
  if (!Number.isInteger(opts.ns) || opts.ns < 1) throw new Error("--ns needs a namespace index");
  return opts;
}

// Starts server.js --events and resolves with its URL, namespace index and a stop function.
function startServer(certDir) {
  return new Promise((resolve, reject) => {
    const child = spawn(process.execPath, [path.join(__dirname, "server.js"), "--events", "--cert-dir", certDir], {
      stdio: ["pipe", "pipe", "ignore"],
    });
    let out = "";
    const timer = setTimeout(() => reject(new Error("the server printed no ready line within 30 s")), 30000);
    child.on("exit", (code) => reject(new Error(`the server exited with status ${code} before it was ready`)));
    child.stdout.on("data", (chunk) => {
      out += chunk;
      const match = /^ready port=\d+ url=(\S+) ns=(\d+)/m.exec(out);
      if (!match) return;
      clearTimeout(timer);
      child.removeAllListeners("exit");
      child.stdout.destroy();
      resolve({ url: match[1], ns: Number(match[2]), stop: () => child.stdin.end() });
    });
  });
}

// Every event the item delivered, as { EventId: ..., Message: ..., ... } of plain values.
class EventLog {
  constructor(verbose) {
    this.verbose = verbose;
    this.events = [];
    this.waiters = [];
  }
  add(variants) {
    const event = {};
    FIELDS.forEach((field, i) => (event[field] = variants[i] ? variants[i].value : null));
    this.events.push(event);
    if (this.verbose) {
      const shown = FIELDS.map((field) => {
        const value = event[field];
        if (Buffer.isBuffer(value)) return `${field}=${value.toString("hex")}`;
        if (value && value.text !== undefined) return `${field}="${value.text}"`;
        return `${field}=${value === null ? "null" : value.toString()}`;
      });
      process.stderr.write(`event ${shown.join(" ")}\n`);
    }
    for (const wake of this.waiters) wake();
  }
  // The first event at index `from` or later that `match` accepts, within `ms`.
  async waitFor(what, from, ms, match) {
    const deadline = Date.now() + ms;
    for (;;) {
      const found = this.events.slice(from).find(match);
      if (found) return found;
      const left = deadline - Date.now();
      if (left <= 0) throw new Error(`no ${what} within ${ms} ms`);
      await new Promise((resolve) => {
        const timer = setTimeout(resolve, Math.min(left, 200));
        this.waiters.push(() => {
          clearTimeout(timer);
          resolve();
        });
      });
      this.waiters = [];
    }
  }
}

const text = (localized) => (localized && localized.text) || "";
const sameId = (a, b) => a && b && coerceNodeId(a).toString() === coerceNodeId(b).toString();

async function check(url, ns, certDir, verbose) {
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
  await client.connect(url);
  try {
    const session = await client.createSession();
    const subscription = await session.createSubscription2({
      requestedPublishingInterval: 100,
      requestedLifetimeCount: 600,
      requestedMaxKeepAliveCount: 20,
      publishingEnabled: true,
    });
    const log = new EventLog(verbose);
    const item = ClientMonitoredItem.create(
      subscription,
      { nodeId: SERVER_OBJECT, attributeId: AttributeIds.EventNotifier },
      { samplingInterval: 0, queueSize: 1000, discardOldest: true, filter: eventFilter() },
      TimestampsToReturn.Neither,
    );
    item.on("changed", (variants) => log.add(variants));
    await new Promise((resolve, reject) => {
      item.once("initialized", resolve);
      item.once("err", (message) => reject(new Error(`the event item on ${SERVER_OBJECT} failed: ${message}`)));
    });

    // 1. The plain events of Events.Plant.
    const tick = await log.waitFor("tick event", 0, 3000, (e) => /^tick \d+$/.test(text(e.Message)));
    if (!Buffer.isBuffer(tick.EventId) || tick.EventId.length === 0) throw new Error("a tick event has no EventId");
    if (!(tick.Severity >= 100 && tick.Severity <= 900 && tick.Severity % 100 === 0)) {
      throw new Error(`a tick event has severity ${tick.Severity}`);
    }

    // 2. ConditionRefresh: the pressure alarm, active since the start, comes between the two
    // refresh events.
    const pressureAlarm = `ns=${ns};s=Events.PressureAlarm`;
    const mark = log.events.length;
    const refresh = await session.call({
      objectId: CONDITION_TYPE,
      methodId: CONDITION_REFRESH,
      inputArguments: [{ dataType: DataType.UInt32, value: subscription.subscriptionId }],
    });
    if (refresh.statusCode !== StatusCodes.Good) throw new Error(`ConditionRefresh answered ${refresh.statusCode}`);
    await log.waitFor("RefreshEndEvent", mark, 3000, (e) => sameId(e.EventType, REFRESH_END_EVENT_TYPE));
    const after = log.events.slice(mark);
    const start = after.findIndex((e) => sameId(e.EventType, REFRESH_START_EVENT_TYPE));
    const end = after.findIndex((e) => sameId(e.EventType, REFRESH_END_EVENT_TYPE));
    if (start < 0 || end < start) throw new Error("RefreshEndEvent came without a RefreshStartEvent before it");
    const refreshed = after.slice(start + 1, end).find((e) => sameId(e.ConditionId, pressureAlarm));
    if (!refreshed) throw new Error(`ConditionRefresh did not deliver ${pressureAlarm}`);
    if (refreshed["ActiveState/Id"] !== true || refreshed["AckedState/Id"] !== false) {
      throw new Error(`${pressureAlarm} came active=${refreshed["ActiveState/Id"]} acked=${refreshed["AckedState/Id"]}`);
    }

    // 3. Acknowledge: method i=9111 called on the condition itself, with the EventId of the
    // state being acknowledged and a comment.
    const ackMark = log.events.length;
    const ack = await session.call({
      objectId: pressureAlarm,
      methodId: ACKNOWLEDGE,
      inputArguments: [
        { dataType: DataType.ByteString, value: refreshed.EventId },
        { dataType: DataType.LocalizedText, value: { text: "seen by events-check" } },
      ],
    });
    if (ack.statusCode !== StatusCodes.Good) throw new Error(`Acknowledge answered ${ack.statusCode}`);
    await log.waitFor(`acknowledged ${pressureAlarm} event`, ackMark, 3000,
      (e) => sameId(e.ConditionId, pressureAlarm) && e["AckedState/Id"] === true && e["ActiveState/Id"] === true);
    const again = await session.call({
      objectId: pressureAlarm,
      methodId: ACKNOWLEDGE,
      inputArguments: [
        { dataType: DataType.ByteString, value: refreshed.EventId },
        { dataType: DataType.LocalizedText, value: { text: "twice" } },
      ],
    });
    if (again.statusCode === StatusCodes.Good) throw new Error("a second Acknowledge of the same state was accepted");

    // 4. The level alarm goes active within its eight-second cycle.
    await log.waitFor("active Events.LevelAlarm event", 0, 9000,
      (e) => sameId(e.ConditionId, `ns=${ns};s=Events.LevelAlarm`) && e["ActiveState/Id"] === true);
    await session.close();
  } finally {
    await client.disconnect();
  }
}

async function main() {
  const opts = parseArgs(process.argv.slice(2));
  const certDir = fs.mkdtempSync(path.join(os.tmpdir(), "kestrane-events-check-"));
  let server;
  try {
    if (!opts.url) server = await startServer(certDir);
    await check(server ? server.url : opts.url, server ? server.ns : opts.ns, certDir, opts.verbose);
    process.stdout.write("OK\n");
  } finally {
    if (server) server.stop();
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
