#!/usr/bin/env node
// Checks the Structures folder of `server.js --structures` with a plain node-opcua client: the
// definition of each type, the values (and the bytes they travel as), the type dictionary,
// and the units and ranges of the demo Double variables.
//
//   node structures-check.js [--url URL --ns N]
//
// Without --url it starts `server.js --structures --tags 2 --ramp 2` itself (certificates in a
// temporary folder) and stops it afterwards; a server given with --url needs those options too
// (--tags and --ramp of 2 or more). --ns is the demo namespace's index (the ready line's ns=,
// default 2).
// Prints "OK" and exits 0, or prints what failed and exits 1 (77 without node-opcua installed).
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
const { OPCUAClient, OPCUACertificateManager, MessageSecurityMode, SecurityPolicy, AttributeIds, StatusCodes } = nodeOpcua();
const { BinaryStream } = require("node-opcua-binary-stream");

function parseArgs(argv) {
  const opts = { url: undefined, ns: 2 };
  for (let i = 0; i < argv.length; i += 2) {
    const [key, value] = [argv[i], argv[i + 1]];
    if (value === undefined) throw new Error(`${key} needs a value`);
    if (key === "--url") opts.url = value;
    else if (key === "--ns") opts.ns = Number(value);
    else throw new Error(`unknown option '${key}'`);
  }
  if (!Number.isInteger(opts.ns) || opts.ns < 1) throw new Error("--ns needs a namespace index");
  return opts;
}

// Starts server.js --structures and resolves with its URL, namespace index and a stop function.
function startServer(certDir) {
  return new Promise((resolve, reject) => {
    const args = [path.join(__dirname, "server.js"), "--structures", "--tags", "2", "--ramp", "2", "--cert-dir", certDir];
    const child = spawn(process.execPath, args, { stdio: ["pipe", "pipe", "ignore"] });
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

const plain = (value) => JSON.parse(JSON.stringify(value));
function expectEqual(what, actual, expected) {
  const [a, e] = [JSON.stringify(plain(actual)), JSON.stringify(expected)];
  if (a !== e) throw new Error(`${what}: got ${a}, expected ${e}`);
}

// The body of an ExtensionObject as it travels: node-opcua encodes with the same code on both ends.
function body(extensionObject) {
  const stream = new BinaryStream(extensionObject.binaryStoreSize());
  extensionObject.encode(stream);
  return stream.buffer.subarray(0, stream.length).toString("hex");
}
const le = {
  u32: (n) => { const b = Buffer.alloc(4); b.writeUInt32LE(n); return b.toString("hex"); },
  i32: (n) => { const b = Buffer.alloc(4); b.writeInt32LE(n); return b.toString("hex"); },
  f64: (n) => { const b = Buffer.alloc(8); b.writeDoubleLE(n); return b.toString("hex"); },
  str: (s) => le.i32(Buffer.byteLength(s)) + Buffer.from(s).toString("hex"),
  i64: (n) => { const b = Buffer.alloc(8); b.writeBigInt64LE(BigInt(n)); return b.toString("hex"); },
  u16: (n) => { const b = Buffer.alloc(2); b.writeUInt16LE(n); return b.toString("hex"); },
};

// The body of s=Structures.AllTypes, field by field.
function allTypesBody(ns) {
  const ticks = (BigInt(Date.UTC(2020, 0, 2, 3, 4, 5, 678)) + 11644473600000n) * 10000n; // 100 ns since 1601
  return [
    "01", "f8", "c8", "2efb", "ffff", le.i32(-123456), le.u32(4000000000), le.i64(-5), le.i64(2 ** 40 + 1),
    "0000c03f", le.f64(-2.25), le.str("ü €"), le.i64(ticks),
    le.u32(0x72962b91) + le.u16(0xfa75) + le.u16(0x4ae6) + "8d28b404dc7daf63",
    le.i32(3) + "010203", le.str("<a>x</a>"),
    "01" + "00" + le.u16(2253), // NodeId i=2253 in its four-byte form
    "03" + le.u16(ns) + le.str("Structures.Drive"), // ExpandedNodeId, a string NodeId without URI
    le.u32(0x808c0000) /* BadSensorFailure */, le.u16(ns) + le.str("Drive"), "03" + le.str("en") + le.str("hello"),
    "0b" + le.f64(7.5), // Variant: a Double
  ].join("");
}

async function check(url, ns, certDir) {
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
    const id = (name) => `ns=${ns};s=${name}`;
    const read = async (name, attributeId = AttributeIds.Value) => {
      const dv = await session.read({ nodeId: id(name), attributeId });
      if (dv.statusCode !== StatusCodes.Good) throw new Error(`reading ${name} (attribute ${attributeId}) answered ${dv.statusCode}`);
      return dv.value.value;
    };
    const definition = async (name) => plain(await read(`Structures.Types.${name}`, AttributeIds.DataTypeDefinition));
    const fields = (def) => def.fields.map((f) => `${f.name}:${f.dataType}:${f.valueRank}${f.isOptional ? "?" : ""}`);

    // 1. Definitions.
    const mode = await definition("Mode");
    expectEqual("Mode's EnumDefinition", mode.fields.map((f) => `${f.value[1]}=${f.name}`), ["0=Off", "1=Manual", "2=Auto"]);
    const limits = await definition("Limits");
    expectEqual("Limits' definition", [limits.structureType, limits.defaultEncodingId, ...fields(limits)],
      ["Structure", id("Structures.Types.Limits.Binary"), "Low:ns=0;i=11:-1", "High:ns=0;i=11:-1"]);
    const drive = await definition("DriveStatus");
    expectEqual("DriveStatus' definition", [drive.structureType, drive.defaultEncodingId, ...fields(drive)], [
      "StructureWithOptionalFields", id("Structures.Types.DriveStatus.Binary"),
      "Speed:ns=0;i=11:-1", "Running:ns=0;i=1:-1", `Mode:${id("Structures.Types.Mode")}:-1`,
      `Limits:${id("Structures.Types.Limits")}:-1`, "Counts:ns=0;i=6:1", "Torque:ns=0;i=11:-1?", "Note:ns=0;i=12:-1?",
    ]);
    const setpoint = await definition("Setpoint");
    expectEqual("Setpoint's definition", [setpoint.structureType, setpoint.defaultEncodingId, ...fields(setpoint)],
      ["Union", id("Structures.Types.Setpoint.Binary"), "Speed:ns=0;i=11:-1", "Position:ns=0;i=6:-1", "Label:ns=0;i=12:-1"]);
    const legacy = await session.read({ nodeId: id("Structures.Types.LegacyPoint"), attributeId: AttributeIds.DataTypeDefinition });
    if (legacy.statusCode !== StatusCodes.BadAttributeIdInvalid) {
      throw new Error(`LegacyPoint's definition answered ${legacy.statusCode}, expected BadAttributeIdInvalid`);
    }

    // 2. The variables' DataType and ValueRank attributes, as a client learns a tag's type.
    const variables = [["Drive", "DriveStatus", -1], ["DriveArray", "DriveStatus", 1], ["Setpoint", "Setpoint", -1],
      ["Setpoints", "Setpoint", 1], ["Mode", "Mode", -1], ["AllTypes", "AllTypes", -1], ["Legacy", "LegacyPoint", -1]];
    for (const [name, type, valueRank] of variables) {
      const dataType = (await read(`Structures.${name}`, AttributeIds.DataType)).toString();
      const rank = await read(`Structures.${name}`, AttributeIds.ValueRank);
      expectEqual(`${name}'s DataType and ValueRank`, [dataType, rank], [id(`Structures.Types.${type}`), valueRank]);
    }

    // 3. Values, and the bytes they travel as.
    const array = await read("Structures.DriveArray");
    expectEqual("DriveArray", array, [
      { speed: 12.5, running: true, mode: 2, limits: { low: 0, high: 100 }, counts: [1, 2, 3], torque: 4.25, note: "first" },
      { speed: 0, running: false, mode: 0, limits: { low: -10, high: 10 }, counts: [] },
      { speed: -3.5, running: true, mode: 1, limits: { low: 0, high: 0.5 }, counts: [7], note: "third" },
    ]);
    expectEqual("DriveArray[2]'s body", body(array[2]),
      le.u32(2) + le.f64(-3.5) + "01" + le.i32(1) + le.f64(0) + le.f64(0.5) + le.i32(1) + le.i32(7) + le.str("third"));
    const first = plain(await read("Structures.Drive"));
    await new Promise((resolve) => setTimeout(resolve, 1500));
    const later = plain(await read("Structures.Drive"));
    for (const value of [first, later]) {
      const n = value.speed - 12.5;
      const expected = { speed: 12.5 + n, running: n % 2 === 0, mode: n % 3, limits: { low: 0, high: 100 },
        counts: [n, n + 1, n + 2], torque: 2.5, ...(n % 2 === 1 && { note: `tick ${n}` }) };
      expectEqual("Drive", value, expected);
    }
    if (later.speed === first.speed) throw new Error("Drive did not change within 1.5 s");
    const allTypes = await definition("AllTypes");
    expectEqual("AllTypes' field types", allTypes.fields.map((f) => f.dataType),
      [...Array.from({ length: 21 }, (_, i) => `ns=0;i=${i + 1}`), "ns=0;i=24"]);
    expectEqual("AllTypes' body", body(await read("Structures.AllTypes")), allTypesBody(ns));
    const union = await read("Structures.Setpoint");
    expectEqual("Setpoint's body", body(union), le.u32(2) + le.i32(42));
    const setpoints = await read("Structures.Setpoints");
    expectEqual("Setpoints' bodies", setpoints.map(body),
      [le.u32(1) + le.f64(12.5), le.u32(2) + le.i32(42), le.u32(3) + le.str("half")]);
    const none = await read("Structures.SetpointNone");
    expectEqual("SetpointNone's body", none.buffer ? none.buffer.toString("hex") : body(none), le.u32(0));
    expectEqual("Mode", await read("Structures.Mode"), 2);
    const dictionary = (await read("Structures.Dictionary")).toString("utf8");
    if (!/<opc:StructuredType Name="LegacyPoint"[^]*Name="X" TypeName="opc:Double"[^]*Name="Y"/.test(dictionary)) {
      throw new Error(`the dictionary does not describe LegacyPoint: ${dictionary}`);
    }
    const point = await read("Structures.Legacy");
    const bytes = point.buffer ? point.buffer.toString("hex") : body(point);
    expectEqual("Legacy's body", bytes, le.f64(1.5) + le.f64(-2));

    // 4. Units and ranges.
    const units = [["Demo.Double", 4408652, "°C", -40, 125], ["Demo.Tag1", 4342098, "bar", -1, 1],
      ["Demo.Random2", 20529, "%", 0, 100], ["Demo.CCCTag10", 5067858, "m", -10, 10], ["Ramp.2", 4404786, "1", 0, 1000000]];
    for (const [name, unitId, unit, low, high] of units) {
      const eu = plain(await read(`${name}.EngineeringUnits`));
      expectEqual(`${name}'s unit`, [eu.unitId, eu.displayName.text], [unitId, unit]);
      expectEqual(`${name}'s range`, await read(`${name}.EURange`), { low, high });
    }
    for (const name of ["Demo.Count1.EURange", "Ramp.Static.EURange"]) {
      const noRange = await session.read({ nodeId: id(name), attributeId: AttributeIds.Value });
      if (noRange.statusCode !== StatusCodes.BadNodeIdUnknown) throw new Error(`${name} answered ${noRange.statusCode}`);
    }
    await session.close();
  } finally {
    await client.disconnect();
  }
}

async function main() {
  const opts = parseArgs(process.argv.slice(2));
  const certDir = fs.mkdtempSync(path.join(os.tmpdir(), "kestrane-structures-check-"));
  let server;
  try {
    if (!opts.url) server = await startServer(certDir);
    await check(server ? server.url : opts.url, server ? server.ns : opts.ns, certDir);
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
