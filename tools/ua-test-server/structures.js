// The Structures folder of the test server (server.js --structures): structure, union and
// enumeration types with their definitions, variables of them, a type described only by a
// type dictionary, and units and ranges on some of the demo Double variables. server.js's
// header comment lists every NodeId and value.
"use strict";

const path = require("path");
const { Variant, DataType, DataValue, VariantArrayType, StatusCodes, AttributeIds, coerceNodeId } = require("node-opcua");
const { EUInformation, Range } = require("node-opcua-types");
const { OpaqueStructure } = require("node-opcua-extension-object");

const NODESET = path.join(__dirname, "structures.NodeSet2.xml");
const UNITS_URI = "http://www.opcfoundation.org/UA/units/un/cefact";

// The dictionary of the type that has no definition, as a server older than 1.04 would serve it.
const DICTIONARY_XML =
  '<opc:TypeDictionary xmlns:opc="http://opcfoundation.org/BinarySchema/"' +
  ' xmlns:ua="http://opcfoundation.org/UA/" xmlns:tns="urn:kestrane:demo"' +
  ' DefaultByteOrder="LittleEndian" TargetNamespace="urn:kestrane:demo">\n' +
  '  <opc:Import Namespace="http://opcfoundation.org/UA/"/>\n' +
  '  <opc:StructuredType Name="LegacyPoint" BaseType="ua:ExtensionObject">\n' +
  '    <opc:Field Name="X" TypeName="opc:Double"/>\n' +
  '    <opc:Field Name="Y" TypeName="opc:Double"/>\n' +
  "  </opc:StructuredType>\n" +
  "</opc:TypeDictionary>\n";

// A UNECE code as an EUInformation unit id: its characters packed into one number.
function unitId(code) {
  let id = 0;
  for (const c of code) id = id * 256 + c.charCodeAt(0);
  return id;
}

// [variable, UNECE code, display name, description, low, high]
const UNITS = [
  ["Demo.Double", "CEL", "°C", "degree Celsius", -40, 125],
  ["Demo.CCCTag10", "MTR", "m", "metre", -10, 10],
];
const unitsOfTag = (n) => [
  [`Demo.Tag${n}`, "BAR", "bar", "bar", -1, 1],
  [`Demo.Random${n}`, "P1", "%", "percent", 0, 100],
];

function addProperty(ns, owner, name, dataType, value) {
  return ns.addVariable({
    propertyOf: owner,
    nodeId: `s=${owner.nodeId.value}.${name}`,
    browseName: { name, namespaceIndex: 0 },
    typeDefinition: "PropertyType",
    dataType,
    value: new Variant({ dataType: DataType.ExtensionObject, value }),
  });
}

function addUnits(addressSpace, ns, tagCount, rampCount) {
  const all = [...UNITS];
  for (let n = 1; n <= tagCount; n++) all.push(...unitsOfTag(n));
  for (let n = 1; n <= rampCount; n++) all.push([`Ramp.${n}`, "C62", "1", "one", 0, 1000000]);
  for (const [name, code, displayName, description, low, high] of all) {
    const variable = addressSpace.findNode(`ns=${ns.index};s=${name}`);
    if (!variable) continue;
    addProperty(ns, variable, "EngineeringUnits", "EUInformation",
      new EUInformation({ namespaceUri: UNITS_URI, unitId: unitId(code), displayName: { text: displayName }, description: { text: description } }));
    addProperty(ns, variable, "EURange", "Range", new Range({ low, high }));
  }
}

// The dictionary variable under the OPC Binary type system, its description of LegacyPoint,
// and the HasDescription reference from the type's encoding to that description.
function addDictionary(addressSpace, ns) {
  const dictionary = ns.addVariable({
    componentOf: addressSpace.findNode("i=93"),
    nodeId: "s=Structures.Dictionary",
    browseName: "KestraneDemoTypes",
    typeDefinition: "DataTypeDictionaryType",
    dataType: "ByteString",
    value: new Variant({ dataType: DataType.ByteString, value: Buffer.from(DICTIONARY_XML, "utf8") }),
  });
  ns.addVariable({
    propertyOf: dictionary,
    nodeId: "s=Structures.Dictionary.NamespaceUri",
    browseName: { name: "NamespaceUri", namespaceIndex: 0 },
    typeDefinition: "PropertyType",
    dataType: "String",
    value: new Variant({ dataType: DataType.String, value: "urn:kestrane:demo" }),
  });
  const description = ns.addVariable({
    componentOf: dictionary,
    nodeId: "s=Structures.Dictionary.LegacyPoint",
    browseName: "LegacyPoint",
    typeDefinition: "DataTypeDescriptionType",
    dataType: "String",
    value: new Variant({ dataType: DataType.String, value: "LegacyPoint" }),
  });
  // node-opcua makes up an empty definition for a type without one; a server older than
  // 1.04 has no such attribute at all.
  const dataType = addressSpace.findNode(`ns=${ns.index};s=Structures.Types.LegacyPoint`);
  const readAttribute = dataType.readAttribute.bind(dataType);
  dataType.readAttribute = (context, attributeId, ...rest) =>
    attributeId === AttributeIds.DataTypeDefinition
      ? new DataValue({ statusCode: StatusCodes.BadAttributeIdInvalid })
      : readAttribute(context, attributeId, ...rest);
  const encoding = addressSpace.findNode(`ns=${ns.index};s=Structures.Types.LegacyPoint.Binary`);
  encoding.addReference({ referenceType: "HasDescription", nodeId: description.nodeId });
}

// A body sent as it is. (The server copies a value before it sends it, as
// new value.constructor(value).)
class RawBody extends OpaqueStructure {
  constructor(nodeIdOrCopy, buffer) {
    const from = nodeIdOrCopy instanceof OpaqueStructure ? nodeIdOrCopy : undefined;
    super(from ? from.nodeId : nodeIdOrCopy, from ? Buffer.from(from.buffer) : buffer);
  }
}

function driveStatus(construct, fields) {
  return construct("Structures.Types.DriveStatus", { ...fields, limits: construct("Structures.Types.Limits", fields.limits) });
}

// Tick n (whole seconds since the start) of s=Structures.Drive.
function driveAt(n) {
  return {
    speed: 12.5 + n,
    running: n % 2 === 0,
    mode: n % 3,
    limits: { low: 0, high: 100 },
    counts: [n, n + 1, n + 2],
    torque: 2.5,
    note: n % 2 === 1 ? `tick ${n}` : undefined,
  };
}

const DRIVES = [
  { speed: 12.5, running: true, mode: 2, limits: { low: 0, high: 100 }, counts: [1, 2, 3], torque: 4.25, note: "first" },
  { speed: 0, running: false, mode: 0, limits: { low: -10, high: 10 }, counts: [] },
  { speed: -3.5, running: true, mode: 1, limits: { low: 0, high: 0.5 }, counts: [7], note: "third" },
];

// One field of each built-in type the value decoder knows, every one of them fixed.
function allTypes(nsIndex) {
  return {
    boolean: true,
    sByte: -8,
    byte: 200,
    int16: -1234,
    uInt16: 65535,
    int32: -123456,
    uInt32: 4000000000,
    int64: [0xffffffff, 0xfffffffb], // -5, as node-opcua keeps 64-bit integers: [high, low]
    uInt64: [256, 1], // 2^40 + 1
    float: 1.5,
    double: -2.25,
    string: "ü €",
    dateTime: new Date(Date.UTC(2020, 0, 2, 3, 4, 5, 678)),
    guid: "72962B91-FA75-4AE6-8D28-B404DC7DAF63",
    byteString: Buffer.from([1, 2, 3]),
    xmlElement: "<a>x</a>",
    nodeId: coerceNodeId("i=2253"),
    expandedNodeId: coerceNodeId(`ns=${nsIndex};s=Structures.Drive`),
    statusCode: StatusCodes.BadSensorFailure,
    qualifiedName: { namespaceIndex: nsIndex, name: "Drive" },
    localizedText: { locale: "en", text: "hello" },
    variant: new Variant({ dataType: DataType.Double, value: 7.5 }),
  };
}

function addStructures(addressSpace, ns, opts, start) {
  const folder = ns.addFolder(addressSpace.rootFolder.objects, { browseName: "Structures", nodeId: "s=Structures" });
  const typeNode = (name) => addressSpace.findDataType(coerceNodeId(`ns=${ns.index};s=${name}`));
  const encodingOf = (name) => coerceNodeId(`ns=${ns.index};s=Structures.Types.${name}.Binary`);
  const construct = (name, fields) => addressSpace.constructExtensionObject(typeNode(name), fields);
  const add = (name, dataType, valueRank, value) =>
    ns.addVariable({
      componentOf: folder,
      browseName: name,
      nodeId: `s=Structures.${name}`,
      dataType,
      valueRank,
      ...(valueRank === 1 && { arrayDimensions: [0] }),
      minimumSamplingInterval: 100,
      value,
    });

  const drive = add("Drive", typeNode("Structures.Types.DriveStatus"), -1, undefined);
  const seconds = () => Math.floor((Date.now() - start) / 1000);
  const setDrive = (n) =>
    drive.setValueFromSource(
      new Variant({ dataType: DataType.ExtensionObject, value: driveStatus(construct, driveAt(n)) }),
      StatusCodes.Good,
      new Date(),
    );
  setDrive(seconds());
  setInterval(() => setDrive(seconds()), 1000).unref();

  add("DriveArray", typeNode("Structures.Types.DriveStatus"), 1,
    new Variant({
      dataType: DataType.ExtensionObject,
      arrayType: VariantArrayType.Array,
      value: DRIVES.map((fields) => driveStatus(construct, fields)),
    }));
  add("Setpoint", typeNode("Structures.Types.Setpoint"), -1,
    new Variant({ dataType: DataType.ExtensionObject, value: construct("Structures.Types.Setpoint", { switchField: 2, position: 42 }) }));
  add("AllTypes", typeNode("Structures.Types.AllTypes"), -1,
    new Variant({ dataType: DataType.ExtensionObject, value: construct("Structures.Types.AllTypes", allTypes(ns.index)) }));
  add("Setpoints", typeNode("Structures.Types.Setpoint"), 1,
    new Variant({
      dataType: DataType.ExtensionObject,
      arrayType: VariantArrayType.Array,
      value: [{ switchField: 1, speed: 12.5 }, { switchField: 2, position: 42 }, { switchField: 3, label: "half" }]
        .map((fields) => construct("Structures.Types.Setpoint", fields)),
    }));
  add("Mode", typeNode("Structures.Types.Mode"), -1, new Variant({ dataType: DataType.Int32, value: 2 }));

  // LegacyPoint {X: 1.5, Y: -2}, encoded by hand: node-opcua builds no class for a type
  // without a definition.
  const body = Buffer.alloc(16);
  body.writeDoubleLE(1.5, 0);
  body.writeDoubleLE(-2, 8);
  const legacy = new RawBody(encodingOf("LegacyPoint"), body);
  add("Legacy", typeNode("Structures.Types.LegacyPoint"), -1, {
    get: () => new Variant({ dataType: DataType.ExtensionObject, value: legacy }),
  });
  // A union holding nothing (switch 0), encoded by hand: node-opcua cannot encode one.
  const none = new RawBody(encodingOf("Setpoint"), Buffer.alloc(4));
  add("SetpointNone", typeNode("Structures.Types.Setpoint"), -1, {
    get: () => new Variant({ dataType: DataType.ExtensionObject, value: none }),
  });
  // Bodies that lie about their type: one too short for a DriveStatus, one 8 bytes longer
  // than a Limits.
  const short = new RawBody(encodingOf("DriveStatus"), Buffer.from([0, 0, 0, 0, 1, 2, 3]));
  add("Short", typeNode("Structures.Types.DriveStatus"), -1, {
    get: () => new Variant({ dataType: DataType.ExtensionObject, value: short }),
  });
  const longBody = Buffer.alloc(24);
  longBody.writeDoubleLE(1, 0);
  longBody.writeDoubleLE(2, 8);
  longBody.writeDoubleLE(3, 16);
  const long = new RawBody(encodingOf("Limits"), longBody);
  add("Long", typeNode("Structures.Types.Limits"), -1, {
    get: () => new Variant({ dataType: DataType.ExtensionObject, value: long }),
  });
  addDictionary(addressSpace, ns);
  addUnits(addressSpace, ns, opts.tags, opts.ramp);
}

module.exports = { addStructures, NODESET };
