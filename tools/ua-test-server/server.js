#!/usr/bin/env node
// Loopback OPC UA server for Kestrane's tests, benchmarks and the UA demo.
//
//   node server.js --cert-dir DIR [--port N] [--tags N] [--max-nodes-per-read N]
//                  [--max-message-size BYTES] [--browse-tree] [--wide N]
//                  [--max-nodes-per-browse N] [--swap-namespaces] [--flat-tags N]
//                  [--ramp N] [--max-monitored-items-per-call N] [--reject-items-over N]
//                  [--no-transfer] [--max-monitored-items-per-subscription N]
//                  [--clock-quirks SECONDS] [--history N] [--history-past SECONDS]
//                  [--history-max-values M] [--history-quirks loop|nocp]
//                  [--events] [--events-rate N] [--structures]
//
// --browse-tree adds a second namespace, urn:kestrane:plant, with a folder Plant holding a
// variable of each built-in type (Plant/Types), a folder of --wide N variables (default
// 1200, more than one Browse round returns), a reference loop and self-reference
// (Plant/Loop/Inner organizes Plant and itself), a variable whose browse name holds control
// characters, and a variable s=Demo.Double that shadows the demo namespace's. With
// --swap-namespaces the plant namespace is registered first, so the two swap indexes.
// --flat-tags N adds a folder Flat (in the plant namespace) of N Double variables.
// --ramp N adds a folder Ramp to the demo namespace: N Double variables s=Ramp.1..N that step
// by one every 50 ms (Ramp.K counts K, K+1, ...), each change stamped with its own source
// time, and s=Ramp.Static, which never changes.
// Subscriptions: --max-monitored-items-per-call N advertises and enforces that operation
// limit; --reject-items-over N answers a CreateMonitoredItems call of more than N items with
// BadTooManyOperations without advertising any limit; --no-transfer answers every
// TransferSubscriptions with BadServiceUnsupported (anonymous sessions over None are never
// given another session's subscriptions anyway); --max-monitored-items-per-subscription N
// advertises that capability (node-opcua's default is 100000), so that a client spreads its
// items over several subscriptions. SIGUSR2 deletes the live subscription with
// the lowest id, as a server short of resources might, and says so on standard error.
// SIGHUP ends every session as its timeout would, keeping its subscriptions for a transfer
// (a client then cannot reactivate its session and must open a new one).
// --clock-quirks SECONDS adds a folder Quirks to the demo namespace with two Double counters
// that step by one on every change, for clients that must store every change once:
// s=Quirks.StepsBack changes every 100 ms and its source clock runs an hour behind for the
// second half of every SECONDS (it steps back an hour, then forward again);
// s=Quirks.SharedTime changes every 200 ms, each change stamped with the start of its second,
// so five changes share one source time.
// History (--history N): a folder History in the demo namespace holding s=History.1..N (Double)
// and s=History.Text (String), which keep their history in memory and answer HistoryRead of
// raw values (AccessLevel and UserAccessLevel with HistoryRead, Historizing true; every other
// variable keeps none). Each changes every 200 ms with its own source time. Their values count
// steps from the oldest one kept: History.K's n-th value is n + 1000000*K, History.Text's the
// text "text-<n>". --history-past SECONDS fills that much past at start, at the same 200 ms
// rate (stamped on whole multiples of 200 ms, the newest 200 ms before the start), so that a
// client finds an old gap at once; each variable keeps the past plus three hours of changes.
// --history-max-values M advertises M as MaxReturnDataValues and returns at most M values per
// node and call (with a continuation point for the rest). --history-quirks loop answers every
// call that carries a continuation point with no values and the same point again;
// --history-quirks nocp lets a session hold at most 2 history continuation points: a node
// whose answer would need another gets BadNoContinuationPoints and no values.
// Events (--events): alarms and conditions are served, and the demo namespace gains an object
// s=Events.Plant, an event notifier the Server object notifies for (Server HasNotifier
// Events.Plant), so that a client monitoring i=2253 gets every event below. Events.Plant raises
// a BaseEventType event every second with Message "tick <n>" (n from 1) and Severity cycling
// 100, 200, ... 900; --events-rate N raises N a second instead (0: none). Its event source
// s=Events.Tank holds two Double variables, each watched by an exclusive limit alarm of the
// tank (high limit 80, low limit 20; SourceName "2:Events.Tank"): s=Events.Level steps every
// second through 40, 55, 70, 85, 95, 85, 70, 55, so its alarm s=Events.LevelAlarm (severity
// 700) goes active (High) for three seconds of every eight; s=Events.Pressure stays at 120, so
// its alarm s=Events.PressureAlarm (severity 900) is active and unacknowledged from the start,
// and a client that subscribes later sees it only through ConditionRefresh (which sends the
// state again with its original EventId). Messages read "LevelAlarm High: 85.000" and
// "LevelAlarm back to normal" (severity 100). An alarm that returns to normal unacknowledged
// keeps its old state on a branch of its own (a BranchId) until that is acknowledged. The
// alarms' state variables have NodeIds such as s=Events.PressureAlarm-ActiveState-Id.
// Acknowledge (method i=9111 called on the alarm with the EventId of the state acknowledged
// and a comment) works on both; events-check.js shows the calls.
// Structures (--structures; not with --swap-namespaces): the demo namespace (ns=2) gains data
// types, loaded from structures.NodeSet2.xml, whose DataTypeDefinition (attribute 23) can be
// read, each structure with one binary encoding s=Structures.Types.<Name>.Binary:
//   s=Structures.Types.Mode         enumeration (EnumDefinition): 0 Off, 1 Manual, 2 Auto
//   s=Structures.Types.Limits       Structure: Low Double, High Double
//   s=Structures.Types.DriveStatus  StructureWithOptionalFields: Speed Double, Running
//                                   Boolean, Mode Mode, Limits Limits, Counts Int32[],
//                                   Torque Double (optional, mask bit 0), Note String
//                                   (optional, mask bit 1)
//   s=Structures.Types.Setpoint     Union (subtype of i=12756): 1 Speed Double, 2 Position
//                                   Int32, 3 Label String
//   s=Structures.Types.AllTypes     Structure with one field of each built-in type 1..21
//                                   (Boolean .. LocalizedText), each field named after its
//                                   type, then Variant (BaseDataType, i=24)
//   s=Structures.Types.LegacyPoint  Structure without a DataTypeDefinition (reading it answers
//                                   BadAttributeIdInvalid), described only by the type
//                                   dictionary: X Double, Y Double
// and a folder s=Structures of variables of them:
//   s=Structures.Drive       DriveStatus, changing every second: at whole second n since the
//                            start {Speed 12.5+n, Running (n even), Mode n mod 3, Limits {0,
//                            100}, Counts [n, n+1, n+2], Torque 2.5, Note "tick <n>" on odd n
//                            and absent on even n}
//   s=Structures.DriveArray  DriveStatus[3], fixed:
//                            {12.5, true, Auto, {0, 100}, [1, 2, 3], Torque 4.25, Note "first"},
//                            {0, false, Off, {-10, 10}, [], no Torque, no Note},
//                            {-3.5, true, Manual, {0, 0.5}, [7], no Torque, Note "third"}
//   s=Structures.Setpoint    Setpoint, fixed: switch 2, Position 42
//   s=Structures.Setpoints   Setpoint[3], fixed: Speed 12.5, Position 42, Label "half"
//   s=Structures.SetpointNone  Setpoint holding nothing (switch 0, a 4-byte body)
//   s=Structures.Mode        Mode (an Int32 on the wire), fixed: 2 (Auto)
//   s=Structures.AllTypes    AllTypes, fixed: true, -8, 200, -1234, 65535, -123456,
//                            4000000000, -5, 1099511627777, 1.5, -2.25, "ü €",
//                            2020-01-02T03:04:05.678Z, 72962B91-FA75-4AE6-8D28-B404DC7DAF63,
//                            bytes 01 02 03, "<a>x</a>", i=2253, ns=2;s=Structures.Drive,
//                            BadSensorFailure, 2:Drive, "hello" (locale "en"), Double 7.5
//   s=Structures.Legacy      LegacyPoint, fixed: {X 1.5, Y -2}
//   s=Structures.Short       a body that lies: DriveStatus's encoding with the 7 bytes
//                            00 00 00 00 01 02 03 (a mask, then too little for Speed)
//   s=Structures.Long        a body that lies: Limits' encoding with the three Doubles 1, 2, 3
//                            (8 bytes more than a Limits)
// The type dictionary is s=Structures.Dictionary (DataTypeDictionaryType, a component of the
// OPC Binary type system i=93; its value an opc:TypeDictionary of LegacyPoint as UTF-8 bytes,
// NamespaceUri property "urn:kestrane:demo"), with the description
// s=Structures.Dictionary.LegacyPoint ("LegacyPoint") that LegacyPoint's encoding refers to
// with HasDescription. The other types are in no dictionary.
// Some demo Doubles gain EngineeringUnits (EUInformation, UNECE unit ids under
// http://www.opcfoundation.org/UA/units/un/cefact) and EURange (Range) properties, with
// NodeIds s=<variable>.EngineeringUnits and s=<variable>.EURange: Demo.Double °C (CEL,
// 4408652) -40..125; Demo.Tag<n> bar (BAR, 4342098) -1..1; Demo.Random<n> % (P1, 20529)
// 0..100; Demo.CCCTag10 m (MTR, 5067858) -10..10; with --ramp, Ramp.<k> 1 (C62, 4404786)
// 0..1000000. Every other variable (Demo.Count<n> and Ramp.Static among them) has neither. structures-check.js reads all of it.
// The demo namespace always holds a folder Types (s=Types.*): one variable per built-in type,
// arrays, a matrix, Bad and Uncertain values, a fixed old source time, awkward and NUL-bearing
// strings, a 10 MB string, a million-element array and a structure no client can decode.
//
// Security (all optional; without them the server offers None/None only, lets anonymous
// users in and accepts every client certificate):
//                  [--policies LIST] [--modes LIST] [--users LIST] [--no-anonymous]
//                  [--trust-required] [--trust-client FILE]... [--server-cert FILE
//                  --server-key FILE] [--application-uri URI] [--min-token-lifetime-ms N]
// --policies takes a comma list of None, Basic256Sha256, Aes128_Sha256_RsaOaep and
// Aes256_Sha256_RsaPss; --modes a comma list of None, Sign and SignAndEncrypt. The None policy
// pairs with the None mode only, the others with Sign and SignAndEncrypt; a policy or mode
// that pairs with nothing listed is an error. Either list left out follows from the other
// (--policies Basic256Sha256 alone offers Sign and SignAndEncrypt). Without a None endpoint
// the server still answers GetEndpoints over an unsecured channel, but opens no session there.
// --users takes a comma list of user:password pairs, the only names and passwords accepted;
// secured endpoints offer UserName tokens under the channel's policy, the None endpoint only
// when Basic256Sha256 or Aes128_Sha256_RsaOaep is listed too (the password is then encrypted
// with the server certificate under that policy). --no-anonymous refuses anonymous sessions.
// --trust-required rejects client certificates that are not in the trust list (a rejected one
// is written to the rejected folder), and each --trust-client FILE (DER or PEM) is put in
// that list before the server starts.
// --server-cert/--server-key serve that certificate (PEM, or DER in a file whose name holds
// ".der") and PEM private key instead of the generated ones, even when it has expired or names
// another application URI. --min-token-lifetime-ms lowers the shortest channel token lifetime
// the server grants (2500 ms otherwise) so that clients may ask for shorter ones.
// --application-uri URI sets the ApplicationUri the server describes itself with (by default
// node-opcua's own); give it the URI of the --server-cert certificate.
//
// Listens on 127.0.0.1 only and keeps every certificate and trust list under DIR (DIR/pki:
// own/certs, trusted/certs, rejected). --port 0 (the default) picks a free port, and another
// one when that is taken before the server listens; a port given is tried a few times.
// --max-message-size also shrinks the transport buffers to the 8192-byte minimum, so that
// messages travel in many small chunks. Once the server listens it prints one line
//   ready port=<port> url=opc.tcp://127.0.0.1:<port> ns=<demo ns> ms=<startup ms>
//         cert=<certificate file> uri=<application URI> rejected=<rejected folder>
// (one line, fields separated by single spaces) on standard output; fixtures wait for it.
// A client trusts the server by trusting the cert= file. Bad options print a message on
// standard error and exit with status 2. It stops on SIGTERM/SIGINT or when stdin closes.
"use strict";

// Fixtures read standard output up to the ready line and then close it: node-opcua logs with
// console.log, and a later warning written there would end the server with EPIPE.
console.log = console.error;
console.info = console.error;

const path = require("path");
const fs = require("fs");
const net = require("net");
const {
  OPCUAServer,
  OPCUACertificateManager,
  Variant,
  DataType,
  VariantArrayType,
  DataValue,
  StatusCodes,
  SecurityPolicy,
  MessageSecurityMode,
  ServerSecureChannelLayer,
  nodesets,
  coerceNodeId,
  ServiceFault,
  ReadRawModifiedDetails,
  HistoryReadResult,
  HistoryData,
  ConditionInfo,
} = require("node-opcua");
const { OpaqueStructure } = require("node-opcua-extension-object");
const { addStructures, NODESET: STRUCTURES_NODESET } = require("./structures");

const POLICIES = {
  None: SecurityPolicy.None,
  Basic256Sha256: SecurityPolicy.Basic256Sha256,
  Aes128_Sha256_RsaOaep: SecurityPolicy.Aes128_Sha256_RsaOaep,
  Aes256_Sha256_RsaPss: SecurityPolicy.Aes256_Sha256_RsaPss,
};
const MODES = {
  None: MessageSecurityMode.None,
  Sign: MessageSecurityMode.Sign,
  SignAndEncrypt: MessageSecurityMode.SignAndEncrypt,
};

const HISTORY_QUIRKS = { loop: "loop", nocp: "nocp" };

function parseNames(key, value, known) {
  if (!value) throw new Error(`${key} needs a comma list of ${Object.keys(known).join(", ")}`);
  const names = value.split(",");
  for (const name of names) {
    if (!Object.hasOwn(known, name)) {
      throw new Error(`${key}: unknown name '${name}' (known: ${Object.keys(known).join(", ")})`);
    }
  }
  return [...new Set(names)];
}

// "user:password,..." (a password may hold ':', no name or password may hold ',').
function parseUsers(value) {
  if (!value) throw new Error("--users needs a comma list of user:password");
  const users = new Map();
  for (const pair of value.split(",")) {
    const colon = pair.indexOf(":");
    if (colon <= 0) throw new Error(`--users: '${pair}' is not user:password`);
    users.set(pair.slice(0, colon), pair.slice(colon + 1));
  }
  return users;
}

// Fills in whichever list was left out and refuses lists node-opcua would quietly turn into
// other endpoints: it offers None/None whenever the None mode is listed, policy or not, and
// pairs every secured policy with every secured mode.
function resolveSecurity(opts) {
  const secured = (p) => p !== "None";
  let policies = opts.policies;
  let modes = opts.modes;
  if (!policies && !modes) return { policies: ["None"], modes: ["None"] };
  if (!policies) {
    policies = [];
    if (modes.includes("None")) policies.push("None");
    if (modes.some(secured)) policies.push(...Object.keys(POLICIES).filter(secured));
  }
  if (!modes) {
    modes = [];
    if (policies.includes("None")) modes.push("None");
    if (policies.some(secured)) modes.push("Sign", "SignAndEncrypt");
  }
  if (policies.includes("None") !== modes.includes("None")) {
    throw new Error("the None policy and the None mode only pair with each other: list both or neither");
  }
  if (policies.some(secured) !== modes.some(secured)) {
    throw new Error(
      "Basic256Sha256, Aes128_Sha256_RsaOaep and Aes256_Sha256_RsaPss pair only with Sign and SignAndEncrypt: " +
        "list both kinds or neither",
    );
  }
  return { policies, modes };
}

function readFileOrThrow(key, file) {
  try {
    return fs.readFileSync(file);
  } catch (err) {
    throw new Error(`${key} ${file}: ${err.message}`);
  }
}

const isPem = (bytes) => bytes.subarray(0, 64).toString("latin1").includes("-----BEGIN");

function parseArgs(argv) {
  const opts = {
    port: 0,
    tags: 100,
    maxNodesPerRead: undefined,
    maxMessageSize: undefined,
    certDir: undefined,
    browseTree: false,
    wide: 1200,
    maxNodesPerBrowse: undefined,
    swapNamespaces: false,
    flatTags: 0,
    ramp: 0,
    maxMonitoredItemsPerCall: undefined,
    rejectItemsOver: undefined,
    noTransfer: false,
    maxMonitoredItemsPerSubscription: undefined,
    clockQuirks: 0,
    history: 0,
    historyPast: 0,
    historyMaxValues: 0,
    historyQuirks: undefined,
    events: false,
    eventsRate: undefined,
    structures: false,
    policies: undefined,
    modes: undefined,
    users: undefined,
    allowAnonymous: true,
    trustRequired: false,
    trustClients: [],
    serverCert: undefined,
    serverKey: undefined,
    minTokenLifetimeMs: undefined,
  };
  for (let i = 0; i < argv.length; i++) {
    const key = argv[i];
    const value = argv[i + 1];
    const needFile = () => {
      if (!value) throw new Error(`${key} needs a file`);
      i++;
      return path.resolve(value);
    };
    const needText = () => {
      i++;
      return value;
    };
    const needInt = () => {
      const n = Number(value);
      if (!Number.isInteger(n) || n < 0) {
        throw new Error(`${key} needs a non-negative integer, got '${value}'`);
      }
      i++;
      return n;
    };
    if (key === "--port") opts.port = needInt();
    else if (key === "--tags") opts.tags = needInt();
    else if (key === "--max-nodes-per-read") opts.maxNodesPerRead = needInt();
    else if (key === "--max-message-size") opts.maxMessageSize = needInt();
    else if (key === "--browse-tree") opts.browseTree = true;
    else if (key === "--wide") opts.wide = needInt();
    else if (key === "--max-nodes-per-browse") opts.maxNodesPerBrowse = needInt();
    else if (key === "--swap-namespaces") opts.swapNamespaces = true;
    else if (key === "--flat-tags") opts.flatTags = needInt();
    else if (key === "--ramp") opts.ramp = needInt();
    else if (key === "--max-monitored-items-per-call") opts.maxMonitoredItemsPerCall = needInt();
    else if (key === "--reject-items-over") opts.rejectItemsOver = needInt();
    else if (key === "--no-transfer") opts.noTransfer = true;
    else if (key === "--max-monitored-items-per-subscription") opts.maxMonitoredItemsPerSubscription = needInt();
    else if (key === "--clock-quirks") opts.clockQuirks = needInt();
    else if (key === "--history") opts.history = needInt();
    else if (key === "--history-past") opts.historyPast = needInt();
    else if (key === "--history-max-values") opts.historyMaxValues = needInt();
    else if (key === "--history-quirks") opts.historyQuirks = parseNames(key, needText(), HISTORY_QUIRKS)[0];
    else if (key === "--events") opts.events = true;
    else if (key === "--events-rate") opts.eventsRate = needInt();
    else if (key === "--structures") opts.structures = true;
    else if (key === "--policies") opts.policies = parseNames(key, needText(), POLICIES);
    else if (key === "--modes") opts.modes = parseNames(key, needText(), MODES);
    else if (key === "--users") opts.users = parseUsers(needText());
    else if (key === "--no-anonymous") opts.allowAnonymous = false;
    else if (key === "--trust-required") opts.trustRequired = true;
    else if (key === "--trust-client") opts.trustClients.push(needFile());
    else if (key === "--server-cert") opts.serverCert = needFile();
    else if (key === "--server-key") opts.serverKey = needFile();
    else if (key === "--application-uri") opts.applicationUri = needText();
    else if (key === "--min-token-lifetime-ms") opts.minTokenLifetimeMs = needInt();
    else if (key === "--cert-dir") {
      if (!value) throw new Error("--cert-dir needs a folder");
      opts.certDir = path.resolve(value);
      i++;
    } else throw new Error(`unknown option '${key}'`);
  }
  if (!opts.certDir) throw new Error("--cert-dir is required (the server writes its certificates there)");
  if (opts.port > 65535) throw new Error(`--port ${opts.port} is out of range`);
  if (!opts.serverCert !== !opts.serverKey) throw new Error("--server-cert and --server-key go together");
  const derCert = opts.serverCert && !isPem(readFileOrThrow("--server-cert", opts.serverCert));
  if (derCert && !/\.der/.test(opts.serverCert)) {
    // node-opcua picks the certificate's encoding by the file's name.
    throw new Error(`--server-cert ${opts.serverCert} is DER: its name must hold ".der"`);
  }
  if (opts.history === 0 && (opts.historyPast > 0 || opts.historyMaxValues > 0 || opts.historyQuirks)) {
    throw new Error("--history-past, --history-max-values and --history-quirks need --history N");
  }
  if (opts.eventsRate !== undefined && !opts.events) throw new Error("--events-rate needs --events");
  if (opts.structures && opts.swapNamespaces) {
    // The structure types load with the standard ones, so the demo namespace always comes first.
    throw new Error("--structures and --swap-namespaces do not go together");
  }
  if (opts.minTokenLifetimeMs === 0) throw new Error("--min-token-lifetime-ms needs a positive number");
  Object.assign(opts, resolveSecurity(opts));
  return opts;
}

// node-opcua needs a concrete port for its endpoint URLs, so a free one is found first.
function freePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.once("error", reject);
    probe.listen(0, "127.0.0.1", () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

const START = Date.now();

// The plant namespace of --browse-tree and --flat-tags, for the address-space walk.
function addPlant(addressSpace, ns, opts) {
  const objects = addressSpace.rootFolder.objects;
  const fixed = (ns_, parent, nodeId, browseName, dataType, value, description) =>
    ns_.addVariable({
      componentOf: parent,
      browseName,
      nodeId,
      dataType,
      description,
      minimumSamplingInterval: 100,
      value: {
        get: () => new Variant({ dataType: DataType[dataType], arrayType: VariantArrayType.Scalar, value }),
      },
    });
  if (opts.browseTree) {
    const plant = ns.addFolder(objects, { browseName: "Plant", nodeId: "s=Plant" });
    const types = ns.addFolder(plant, { browseName: "Types", nodeId: "s=Plant.Types" });
    const each = [
      ["Boolean", true],
      ["SByte", -8],
      ["Byte", 8],
      ["Int16", -16],
      ["UInt16", 16],
      ["Int32", -32],
      ["UInt32", 32],
      ["Int64", [0xffffffff, 0xffffffc0]],
      ["UInt64", [0, 64]],
      ["Float", 1.5],
      ["Double", 2.25],
      ["String", "text"],
      ["DateTime", new Date(Date.UTC(2020, 0, 1))],
      ["Guid", "72962B91-FA75-4AE6-8D28-B404DC7DAF63"],
      ["ByteString", Buffer.from("bytes")],
      ["LocalizedText", { text: "words" }],
    ];
    for (const [type, value] of each) {
      fixed(ns, types, `s=Plant.Types.${type}`, type, type, value, type === "Double" ? "A double" : undefined);
    }
    // A standard subtype of Double: numeric too.
    ns.addVariable({
      componentOf: types,
      browseName: "Duration",
      nodeId: "s=Plant.Types.Duration",
      dataType: "Duration",
      minimumSamplingInterval: 100,
      value: { get: () => new Variant({ dataType: DataType.Double, value: 250 }) },
    });
    const wide = ns.addFolder(plant, { browseName: "Wide", nodeId: "s=Plant.Wide" });
    for (let n = 1; n <= opts.wide; n++) fixed(ns, wide, `s=Plant.Wide.${n}`, `W${n}`, "Double", n);
    const loop = ns.addFolder(plant, { browseName: "Loop", nodeId: "s=Plant.Loop" });
    const inner = ns.addFolder(loop, { browseName: "Inner", nodeId: "s=Plant.Loop.Inner" });
    fixed(ns, inner, "s=Plant.Loop.Inner.Value", "Value", "Double", 5);
    inner.addReference({ referenceType: "Organizes", nodeId: plant });
    inner.addReference({ referenceType: "Organizes", nodeId: inner });
    fixed(ns, plant, "s=Plant.Odd", "Odd\n\"name\",\tx", "Double", 6);
    fixed(ns, plant, "s=Demo.Double", "Shadow", "Double", -3.25);
  }
  if (opts.flatTags > 0) {
    const flat = ns.addFolder(objects, { browseName: "Flat", nodeId: "s=Flat" });
    for (let n = 1; n <= opts.flatTags; n++) fixed(ns, flat, `s=Flat.${n}`, `F${n}`, "Double", n);
  }
}

function addDemoVariables(addressSpace, tagCount, opts) {
  const plantFirst = opts.swapNamespaces ? addressSpace.registerNamespace("urn:kestrane:plant") : undefined;
  const ns = addressSpace.registerNamespace("urn:kestrane:demo");
  const plant = plantFirst || addressSpace.registerNamespace("urn:kestrane:plant");
  addPlant(addressSpace, plant, opts);
  const folder = ns.addFolder(addressSpace.rootFolder.objects, { browseName: "Demo" });
  const seconds = () => (Date.now() - START) / 1000;

  const add = (name, dataType, get) =>
    ns.addVariable({
      componentOf: folder,
      browseName: name,
      nodeId: `s=${name}`,
      dataType,
      minimumSamplingInterval: 100,
      value: { get },
    });

  for (let n = 1; n <= tagCount; n++) {
    add(`Demo.Tag${n}`, "Double", () => new Variant({ dataType: DataType.Double, value: Math.sin(seconds() + n) }));
    add(`Demo.Count${n}`, "Double", () => new Variant({ dataType: DataType.Double, value: Math.floor(seconds()) + n }));
    add(`Demo.Random${n}`, "Double", () => new Variant({ dataType: DataType.Double, value: Math.random() * 100 }));
  }
  add("Demo.CCCTag10", "Double", () => new Variant({ dataType: DataType.Double, value: 10 * Math.sin(seconds()) }));

  // Fixed values of several types, so that tests can check conversions exactly.
  const fixed = [
    ["Demo.Double", "Double", DataType.Double, 3.25],
    ["Demo.Float", "Float", DataType.Float, 1.5],
    ["Demo.Int32", "Int32", DataType.Int32, -42],
    ["Demo.UInt16", "UInt16", DataType.UInt16, 65535],
    ["Demo.Boolean", "Boolean", DataType.Boolean, true],
    ["Demo.String", "String", DataType.String, "hello"],
  ];
  for (const [name, typeName, dataType, value] of fixed) {
    add(name, typeName, () => new Variant({ dataType, value }));
  }

  // A value stamped at a known source time.
  const stamped = new Date(Date.UTC(2020, 0, 2, 3, 4, 5));
  ns.addVariable({
    componentOf: folder,
    browseName: "Demo.Stamped",
    nodeId: "s=Demo.Stamped",
    dataType: "Double",
    minimumSamplingInterval: 100,
    value: {
      timestamped_get: () =>
        new DataValue({
          value: new Variant({ dataType: DataType.Double, value: 7 }),
          statusCode: StatusCodes.Good,
          sourceTimestamp: stamped,
          serverTimestamp: new Date(),
        }),
    },
  });

  const withStatus = (name, statusCode, value) =>
    ns.addVariable({
      componentOf: folder,
      browseName: name,
      nodeId: `s=${name}`,
      dataType: "Double",
      minimumSamplingInterval: 100,
      value: {
        timestamped_get: () =>
          new DataValue({
            value: new Variant({ dataType: DataType.Double, value }),
            statusCode,
            sourceTimestamp: new Date(),
            serverTimestamp: new Date(),
          }),
      },
    });
  withStatus("Demo.BadStatus", StatusCodes.BadSensorFailure, 0);
  withStatus("Demo.Uncertain", StatusCodes.UncertainLastUsableValue, 4.5);
  addTypeVariables(addressSpace, ns);
  if (opts.ramp > 0) addRamp(addressSpace, ns, opts.ramp);
  if (opts.clockQuirks > 0) addClockQuirks(addressSpace, ns, opts.clockQuirks);
  if (opts.history > 0) addHistory(addressSpace, ns, opts);
  if (opts.events) addEvents(addressSpace, ns, opts.eventsRate === undefined ? 1 : opts.eventsRate);
  if (opts.structures) addStructures(addressSpace, ns, opts, START);
  return ns.index;
}

// Folder Quirks (--clock-quirks): counters whose source times step back or repeat.
function addClockQuirks(addressSpace, ns, periodSeconds) {
  const folder = ns.addFolder(addressSpace.rootFolder.objects, { browseName: "Quirks", nodeId: "s=Quirks" });
  const counter = (name, everyMs, stamp) => {
    const variable = ns.addVariable({
      componentOf: folder,
      browseName: `Quirks.${name}`,
      nodeId: `s=Quirks.${name}`,
      dataType: "Double",
      minimumSamplingInterval: 0,
    });
    let value = 0;
    const tick = () => {
      variable.setValueFromSource(new Variant({ dataType: DataType.Double, value }), StatusCodes.Good, stamp(Date.now()));
      value++;
    };
    tick();
    setInterval(tick, everyMs).unref();
  };
  const HOUR_MS = 3600 * 1000;
  const periodMs = periodSeconds * 1000;
  counter("StepsBack", 100, (now) => new Date((now - START) % periodMs < periodMs / 2 ? now : now - HOUR_MS));
  counter("SharedTime", 200, (now) => new Date(now - (now % 1000)));
}

// ---- History (--history, --history-past, --history-max-values, --history-quirks) ----

const HISTORY_STEP_MS = 200;
// What a history variable keeps beyond its past: three hours of changes.
const HISTORY_KEPT_MS = 3 * 3600 * 1000;

// Folder History: variables that keep their history in memory (see the header).
function addHistory(addressSpace, ns, opts) {
  const folder = ns.addFolder(addressSpace.rootFolder.objects, { browseName: "History", nodeId: "s=History" });
  const maxOnlineValues = Math.ceil((opts.historyPast * 1000 + HISTORY_KEPT_MS) / HISTORY_STEP_MS) + 10;
  const series = [];
  const add = (name, dataType, valueOf) => {
    const variable = ns.addVariable({
      componentOf: folder,
      browseName: `History.${name}`,
      nodeId: `s=History.${name}`,
      dataType,
      minimumSamplingInterval: 0,
      accessLevel: "CurrentRead | HistoryRead",
      userAccessLevel: "CurrentRead | HistoryRead",
    });
    addressSpace.installHistoricalDataNode(variable, { maxOnlineValues });
    wrapHistoryRead(variable, opts);
    series.push({ variable, valueOf });
  };
  for (let k = 1; k <= opts.history; k++) {
    add(String(k), "Double", (n) => new Variant({ dataType: DataType.Double, value: n + 1000000 * k }));
  }
  add("Text", "String", (n) => new Variant({ dataType: DataType.String, value: `text-${n}` }));

  // The past goes straight into each variable's history, oldest first, before any live change.
  const now = Date.now();
  const newestPast = now - (now % HISTORY_STEP_MS) - HISTORY_STEP_MS;
  const pastCount = Math.floor((opts.historyPast * 1000) / HISTORY_STEP_MS);
  for (const { variable, valueOf } of series) {
    for (let n = 0; n < pastCount; n++) {
      const time = new Date(newestPast - (pastCount - 1 - n) * HISTORY_STEP_MS);
      variable.varHistorian.push(
        new DataValue({ value: valueOf(n), statusCode: StatusCodes.Good, sourceTimestamp: time, serverTimestamp: time }),
      );
    }
  }
  let n = pastCount;
  const tick = () => {
    const time = new Date();
    for (const { variable, valueOf } of series) variable.setValueFromSource(valueOf(n), StatusCodes.Good, time);
    n++;
  };
  tick();
  setInterval(tick, HISTORY_STEP_MS).unref();
}

// Stands in front of the variable's own HistoryRead: node-opcua swaps start and end of a
// newest-first read in the details object itself, which every node of one call shares, so each
// node reads from a copy; the copy also carries --history-max-values, and the quirks act here.
function wrapHistoryRead(variable, opts) {
  const original = variable._historyRead.bind(variable);
  const maxValues = opts.historyMaxValues;
  variable._historyRead = (context, details, indexRange, dataEncoding, continuationData, callback) => {
    if (!(details instanceof ReadRawModifiedDetails)) {
      return original(context, details, indexRange, dataEncoding, continuationData, callback);
    }
    let perNode = details.numValuesPerNode;
    if (maxValues > 0 && (perNode === 0 || perNode > maxValues)) perNode = maxValues;
    const copy = new ReadRawModifiedDetails({
      isReadModified: details.isReadModified,
      startTime: details.startTime,
      endTime: details.endTime,
      numValuesPerNode: perNode,
      returnBounds: details.returnBounds,
    });
    const point = continuationData.continuationPoint;
    const points = context.session && context.session.continuationPointManager;
    if (opts.historyQuirks === "loop" && point && point.length > 0 && !continuationData.releaseContinuationPoints) {
      return callback(
        null,
        new HistoryReadResult({ statusCode: StatusCodes.Good, continuationPoint: point, historyData: new HistoryData({ dataValues: [] }) }),
      );
    }
    if (opts.historyQuirks === "nocp" && !(point && point.length > 0) && points) {
      const full = points.hasReachedMaximum(2);
      return original(context, copy, indexRange, dataEncoding, continuationData, (err, result) => {
        if (err || !full || !result || !result.continuationPoint) return callback(err, result);
        points.clearContinuationPoint(result.continuationPoint);
        callback(null, new HistoryReadResult({ statusCode: StatusCodes.BadNoContinuationPoints }));
      });
    }
    return original(context, copy, indexRange, dataEncoding, continuationData, callback);
  };
}

// ---- Events (--events, --events-rate) ----

const ALARM_HIGH_LIMIT = 80;
const ALARM_LOW_LIMIT = 20;
// Events.Level, one step a second: above the high limit for three steps of eight.
const LEVEL_STEPS = [40, 55, 70, 85, 95, 85, 70, 55];
// Events.Pressure: above the high limit from the start and for good.
const PRESSURE = 120;

// Events.Plant with its ticks, Events.Tank with its two alarms (see the header).
function addEvents(addressSpace, ns, ratePerSecond) {
  addressSpace.installAlarmsAndConditionsService();
  const server = addressSpace.rootFolder.objects.server;
  const plant = ns.addObject({
    organizedBy: addressSpace.rootFolder.objects,
    browseName: "Events.Plant",
    nodeId: "s=Events.Plant",
    eventNotifier: 1, // SubscribeToEvents
    notifierOf: server,
  });
  // A condition source must be some notifier's event source, or its events go nowhere.
  const tank = ns.addObject({
    componentOf: plant,
    browseName: "Events.Tank",
    nodeId: "s=Events.Tank",
    eventNotifier: 1,
    eventSourceOf: plant,
  });
  const setDouble = (variable, value) =>
    variable.setValueFromSource(new Variant({ dataType: DataType.Double, value }), StatusCodes.Good, new Date());
  const input = (name, value) => {
    const variable = ns.addVariable({
      componentOf: tank,
      browseName: `Events.${name}`,
      nodeId: `s=Events.${name}`,
      dataType: "Double",
      minimumSamplingInterval: 0,
    });
    setDouble(variable, value);
    return variable;
  };
  const alarm = (name, inputNode, severity) => {
    const node = ns.instantiateExclusiveLimitAlarm("ExclusiveLimitAlarmType", {
      componentOf: tank,
      conditionSource: tank,
      browseName: `Events.${name}`,
      nodeId: `s=Events.${name}`,
      conditionName: name,
      inputNode,
      highLimit: ALARM_HIGH_LIMIT,
      lowLimit: ALARM_LOW_LIMIT,
    });
    // Severities within 1..1000 (node-opcua's own return to normal has 0) and messages that
    // name the alarm.
    node.calculateConditionInfo = (state, _isActive, value) =>
      new ConditionInfo({
        message: state ? `${name} ${state}: ${value}` : `${name} back to normal`,
        severity: state ? severity : 100,
        quality: StatusCodes.Good,
        retain: true,
      });
    return node;
  };
  const level = input("Level", LEVEL_STEPS[0]);
  alarm("LevelAlarm", level, 700);
  // Normal while its alarm is made, so that the alarm goes active with its own message.
  const pressure = input("Pressure", ALARM_HIGH_LIMIT / 2);
  const pressureAlarm = alarm("PressureAlarm", pressure, 900);
  setDouble(pressure, PRESSURE);
  if (!pressureAlarm.activeState.getValue()) throw new Error("Events.PressureAlarm did not go active");

  let step = 0;
  setInterval(() => {
    step = (step + 1) % LEVEL_STEPS.length;
    setDouble(level, LEVEL_STEPS[step]);
  }, 1000).unref();

  if (ratePerSecond === 0) return;
  // Raised by the clock, not by counting timer calls, so that a late timer catches up and a
  // high rate need not wait a millisecond per event.
  const started = Date.now();
  let raised = 0;
  const raiseDue = () => {
    const due = Math.floor(((Date.now() - started) * ratePerSecond) / 1000);
    for (; raised < due; raised++) {
      const n = raised + 1;
      plant.raiseEvent("BaseEventType", {
        message: { dataType: DataType.LocalizedText, value: { text: `tick ${n}` } },
        severity: { dataType: DataType.UInt16, value: 100 * (1 + ((n - 1) % 9)) },
      });
    }
  };
  setInterval(raiseDue, Math.max(10, Math.floor(1000 / ratePerSecond))).unref();
}

// Folder Ramp: variables that change every 50 ms, for subscriptions to follow.
function addRamp(addressSpace, ns, count) {
  const folder = ns.addFolder(addressSpace.rootFolder.objects, { browseName: "Ramp", nodeId: "s=Ramp" });
  const variables = [];
  for (let n = 1; n <= count; n++) {
    variables.push(
      ns.addVariable({
        componentOf: folder,
        browseName: `Ramp.${n}`,
        nodeId: `s=Ramp.${n}`,
        dataType: "Double",
        minimumSamplingInterval: 0,
      }),
    );
  }
  const staticVariable = ns.addVariable({
    componentOf: folder,
    browseName: "Ramp.Static",
    nodeId: "s=Ramp.Static",
    dataType: "Double",
    minimumSamplingInterval: 0,
  });
  staticVariable.setValueFromSource(new Variant({ dataType: DataType.Double, value: 42 }), StatusCodes.Good, new Date(START));
  let step = 0;
  const tick = () => {
    const now = new Date();
    variables.forEach((variable, i) =>
      variable.setValueFromSource(new Variant({ dataType: DataType.Double, value: i + 1 + step }), StatusCodes.Good, now),
    );
    step++;
  };
  tick();
  setInterval(tick, 50).unref();
}

// The subscription behaviours of --reject-items-over and --no-transfer: service handlers are
// looked up by request name on the server object, so these stand in front of node-opcua's.
function refuseSomeSubscriptionCalls(server, opts) {
  const fault = (channel, message, statusCode) =>
    channel.send_response("MSG", new ServiceFault({ responseHeader: { serviceResult: statusCode } }), message);
  if (opts.rejectItemsOver !== undefined) {
    const create = server._on_CreateMonitoredItemsRequest.bind(server);
    server._on_CreateMonitoredItemsRequest = (message, channel) => {
      const items = message.request.itemsToCreate || [];
      if (items.length > opts.rejectItemsOver) return fault(channel, message, StatusCodes.BadTooManyOperations);
      return create(message, channel);
    };
  }
  if (opts.noTransfer) {
    server._on_TransferSubscriptionsRequest = (message, channel) =>
      fault(channel, message, StatusCodes.BadServiceUnsupported);
  }
}

// A busy server: with UA_TEST_SLOW_CREATE_ITEMS=N:MS in the environment, a CreateMonitoredItems
// call of more than N items is carried out and answered MS milliseconds late.
function slowLargeItemCreations(server) {
  const setting = process.env.UA_TEST_SLOW_CREATE_ITEMS;
  if (!setting) return;
  const match = /^(\d+):(\d+)$/.exec(setting);
  if (!match) throw new Error(`UA_TEST_SLOW_CREATE_ITEMS needs N:MS, got '${setting}'`);
  const over = Number(match[1]);
  const delayMs = Number(match[2]);
  const create = server._on_CreateMonitoredItemsRequest.bind(server);
  server._on_CreateMonitoredItemsRequest = (message, channel) => {
    const items = message.request.itemsToCreate || [];
    if (items.length <= over) return create(message, channel);
    setTimeout(() => create(message, channel), delayMs);
  };
}

// SIGUSR2: the live subscription with the lowest id is deleted, as if the server had dropped it.
function deleteLowestSubscription(server) {
  let lowest;
  for (const session of Object.values(server.engine._sessions)) {
    const engine = session.publishEngine;
    if (!engine) continue;
    for (const subscription of Object.values(engine._subscriptions)) {
      if (!lowest || subscription.id < lowest.subscription.id) lowest = { session, subscription };
    }
  }
  if (!lowest) {
    process.stderr.write("ua-test-server: SIGUSR2: no subscription to delete\n");
    return;
  }
  process.stderr.write(`ua-test-server: SIGUSR2: deleting subscription ${lowest.subscription.id}\n`);
  lowest.session.deleteSubscription(lowest.subscription.id);
}

// SIGHUP: every session ends as if it had timed out; its subscriptions stay for a transfer.
function expireSessions(server) {
  const sessions = Object.values(server.engine._sessions);
  process.stderr.write(`ua-test-server: SIGHUP: ending ${sessions.length} session(s)\n`);
  for (const session of sessions) server.engine.closeSession(session.authenticationToken, false, "Timeout");
}

// Folder Types: fixed values of every kind a server may send, for exact checks of how the
// client writes them out. Each reads the same every time.
function addTypeVariables(addressSpace, ns) {
  const folder = ns.addFolder(addressSpace.rootFolder.objects, { browseName: "Types", nodeId: "s=Types" });
  const add = (name, dataType, valueRank, get) =>
    ns.addVariable({
      componentOf: folder,
      browseName: name,
      nodeId: `s=Types.${name}`,
      dataType,
      valueRank,
      minimumSamplingInterval: 100,
      value: { timestamped_get: get },
    });
  const good = (variant) => () =>
    new DataValue({ value: variant, statusCode: StatusCodes.Good, sourceTimestamp: new Date(), serverTimestamp: new Date() });
  const scalar = (name, typeName, value) =>
    add(name, typeName, -1, good(new Variant({ dataType: DataType[typeName], arrayType: VariantArrayType.Scalar, value })));
  const array = (name, typeName, value, extra = {}) =>
    add(name, typeName === "Variant" ? "BaseDataType" : typeName, extra.dimensions ? extra.dimensions.length : 1,
      good(new Variant({ dataType: DataType[typeName], arrayType: VariantArrayType.Array, value, ...extra })));

  scalar("Boolean", "Boolean", true);
  scalar("SByte", "SByte", -8);
  scalar("Byte", "Byte", 200);
  scalar("Int16", "Int16", -16000);
  scalar("UInt16", "UInt16", 65535);
  scalar("Int32", "Int32", -2000000000);
  scalar("UInt32", "UInt32", 4000000000);
  scalar("Int64", "Int64", [0x00200000, 0x00000001]); // 2^53 + 1: not a double
  scalar("UInt64", "UInt64", [0xffffffff, 0xffffffff]); // 2^64 - 1
  scalar("Float", "Float", 1.5);
  scalar("Double", "Double", 2.25);
  scalar("String", "String", "text");
  scalar("DateTime", "DateTime", new Date(Date.UTC(2025, 5, 7, 8, 9, 10, 123)));
  scalar("Guid", "Guid", "72962B91-FA75-4AE6-8D28-B404DC7DAF63");
  scalar("ByteString", "ByteString", Buffer.from([1, 2, 3, 255]));
  scalar("XmlElement", "XmlElement", "<a>x</a>");
  scalar("NodeId", "NodeId", coerceNodeId("ns=2;s=Demo.Tag1"));
  scalar("StatusCode", "StatusCode", StatusCodes.BadSensorFailure);
  scalar("QualifiedName", "QualifiedName", { namespaceIndex: 2, name: "Boiler" });
  scalar("LocalizedText", "LocalizedText", { locale: "de", text: "Kessel" });
  array("DoubleArray", "Double", new Float64Array([1.5, 2.5, 3.5]));
  array("StringArray", "String", ["a", "b,c", 'd"e']);
  array("Matrix", "Int32", new Int32Array([1, 2, 3, 4, 5, 6]), {
    arrayType: VariantArrayType.Matrix,
    dimensions: [2, 3],
  });
  array("VariantArray", "Variant", [
    new Variant({ dataType: DataType.Int32, value: 1 }),
    new Variant({ dataType: DataType.String, value: "s" }),
    new Variant({ dataType: DataType.Boolean, value: true }),
  ]);

  const stamped = (name, statusCode, value, sourceTimestamp) =>
    add(name, "Double", -1, () =>
      new DataValue({
        value: new Variant({ dataType: DataType.Double, value }),
        statusCode,
        sourceTimestamp: sourceTimestamp || new Date(),
        serverTimestamp: new Date(),
      }));
  stamped("Bad", StatusCodes.BadSensorFailure, 0);
  stamped("Uncertain", StatusCodes.UncertainLastUsableValue, 4.5);
  stamped("OldSource", StatusCodes.Good, 7, new Date(Date.UTC(2020, 0, 2, 3, 4, 5, 678)));

  scalar("Awkward", "String", 'a,b;"quoted" \'single\'\nline two\ttab \\ ü € 😀');
  scalar("Nul", "String", "before\u0000after");
  const tenMegabytes = "x".repeat(10 * 1000 * 1000);
  scalar("Huge", "String", tenMegabytes);
  const million = new Int32Array(1000000);
  for (let i = 0; i < million.length; i++) million[i] = i;
  array("Million", "Int32", million);
  // A structure of a type no server describes: the client can only keep its type and body.
  // (The server copies a value before it sends it, as new value.constructor(value).)
  class Undecodable extends OpaqueStructure {
    constructor(nodeIdOrCopy, buffer) {
      const from = nodeIdOrCopy instanceof OpaqueStructure ? nodeIdOrCopy : undefined;
      super(from ? from.nodeId : nodeIdOrCopy, from ? Buffer.from(from.buffer) : buffer);
    }
  }
  add("Opaque", "BaseDataType", -1,
    good(new Variant({ dataType: DataType.ExtensionObject, value: new Undecodable(coerceNodeId("ns=2;i=99999"), Buffer.from([1, 2, 3, 4])) })));
}

// Builds and starts a server on `port`; one that failed to start is shut down before the
// error is passed on.
async function startServer(opts, port) {
  const serverCertificateManager = new OPCUACertificateManager({
    rootFolder: path.join(opts.certDir, "pki"),
    automaticallyAcceptUnknownCertificate: !opts.trustRequired,
  });
  // Written before start, so that the first scan of the trust list finds them.
  if (opts.trustClients.length > 0) {
    const trusted = path.join(opts.certDir, "pki", "trusted", "certs");
    fs.mkdirSync(trusted, { recursive: true });
    for (const file of opts.trustClients) {
      const bytes = readFileOrThrow("--trust-client", file);
      const name = path.basename(file).replace(/\.(der|pem|crt|cer)$/i, "");
      fs.writeFileSync(path.join(trusted, `${name}${isPem(bytes) ? ".pem" : ".der"}`), bytes);
    }
  }
  if (opts.minTokenLifetimeMs !== undefined) {
    ServerSecureChannelLayer.g_MinimumSecureTokenLifetime = opts.minTokenLifetimeMs;
  }
  const userCertificateManager = new OPCUACertificateManager({
    rootFolder: path.join(opts.certDir, "user_pki"),
    automaticallyAcceptUnknownCertificate: true,
  });

  const operationLimits = {};
  if (opts.maxNodesPerRead !== undefined) operationLimits.maxNodesPerRead = opts.maxNodesPerRead;
  if (opts.maxNodesPerBrowse !== undefined) operationLimits.maxNodesPerBrowse = opts.maxNodesPerBrowse;
  if (opts.maxMonitoredItemsPerCall !== undefined) operationLimits.maxMonitoredItemsPerCall = opts.maxMonitoredItemsPerCall;
  // --reject-items-over states no limit at all (0), unlike node-opcua's default of 10000.
  else if (opts.rejectItemsOver !== undefined) operationLimits.maxMonitoredItemsPerCall = 0;

  const transportSettings =
    opts.maxMessageSize === undefined
      ? undefined
      : {
          adjustTransportLimits: () => ({
            receiveBufferSize: 8192,
            sendBufferSize: 8192,
            maxMessageSize: opts.maxMessageSize,
            maxChunkCount: 0,
          }),
        };

  const server = new OPCUAServer({
    port,
    host: "127.0.0.1",
    hostname: "127.0.0.1",
    serverCertificateManager,
    userCertificateManager,
    securityPolicies: opts.policies.map((name) => POLICIES[name]),
    securityModes: opts.modes.map((name) => MODES[name]),
    allowAnonymous: opts.allowAnonymous,
    // As the protocol has it: an anonymous session over None cannot prove it is the same client.
    allowAnonymousSubscriptionTransferOnUnsecuredChannel: false,
    userManager: opts.users && {
      isValidUser: (userName, password) => opts.users.has(userName) && opts.users.get(userName) === password,
    },
    certificateFile: opts.serverCert,
    privateKeyFile: opts.serverKey,
    nodeset_filename: opts.structures ? [nodesets.standard, STRUCTURES_NODESET] : [nodesets.standard],
    serverCapabilities: {
      operationLimits,
      ...(opts.maxMonitoredItemsPerSubscription !== undefined && {
        maxMonitoredItemsPerSubscription: opts.maxMonitoredItemsPerSubscription,
      }),
    },
    transportSettings,
    buildInfo: { productName: "KestraneUaTestServer", buildNumber: "1" },
    serverInfo: {
      applicationName: { text: "Kestrane UA test server" },
      ...(opts.applicationUri && { applicationUri: opts.applicationUri }),
    },
  });

  try {
    await server.initialize();
    if (opts.historyMaxValues > 0) server.engine.historyServerCapabilities.maxReturnDataValues = opts.historyMaxValues;
    if (opts.history > 0) server.engine.historyServerCapabilities.accessHistoryDataCapability = true;
    const nsIndex = addDemoVariables(server.engine.addressSpace, opts.tags, opts);
    refuseSomeSubscriptionCalls(server, opts);
    slowLargeItemCreations(server);
    await server.start();
    return { server, nsIndex, serverCertificateManager };
  } catch (err) {
    await server.shutdown(0).catch(() => {});
    throw err;
  }
}

const START_ATTEMPTS = 5;

// A port found free may be taken by another process before the server listens on it, so a
// start that finds its port in use is tried again: on another free port when the port was
// left to us, after a short pause on the same one when it was asked for.
async function startOnSomePort(opts) {
  for (let attempt = 1; ; attempt++) {
    const port = opts.port === 0 ? await freePort() : opts.port;
    try {
      return { port, ...(await startServer(opts, port)) };
    } catch (err) {
      const inUse = err.code === "EADDRINUSE" || /EADDRINUSE/.test(String(err.message));
      if (!inUse || attempt === START_ATTEMPTS) throw err;
      process.stderr.write(
        `ua-test-server: port ${port} is in use (attempt ${attempt} of ${START_ATTEMPTS}),` +
          ` trying ${opts.port === 0 ? "another port" : "again"}\n`,
      );
      if (opts.port !== 0) await new Promise((resolve) => setTimeout(resolve, 500));
    }
  }
}

async function main() {
  const opts = parseArgs(process.argv.slice(2));
  fs.mkdirSync(opts.certDir, { recursive: true });
  const { port, server, nsIndex, serverCertificateManager } = await startOnSomePort(opts);
  process.on("SIGUSR2", () => deleteLowestSubscription(server));
  process.on("SIGHUP", () => expireSessions(server));
  const url = `opc.tcp://127.0.0.1:${port}`;
  process.stdout.write(
    `ready port=${port} url=${url} ns=${nsIndex} ms=${Date.now() - START}` +
      ` cert=${server.certificateFile} uri=${server.serverInfo.applicationUri}` +
      ` rejected=${serverCertificateManager.rejectedFolder}\n`,
  );

  let stopping = false;
  const stop = async () => {
    if (stopping) return;
    stopping = true;
    await server.shutdown(0);
    process.exit(0);
  };
  process.on("SIGTERM", stop);
  process.on("SIGINT", stop);
  process.stdin.on("end", stop);
  process.stdin.resume();
}

main().catch((err) => {
  process.stderr.write(`ua-test-server: ${err.message}\n`);
  process.exit(2);
});
