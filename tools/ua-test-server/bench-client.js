#!/usr/bin/env node
// node-opcua client doing the same reads as Kestrane's UA benchmark, for comparison.
//
//   node bench-client.js --url URL --cert-dir DIR [--tags 20000] [--batch 200] [--passes 3]
//
// Reads 2:Demo.Count1..N in batches, pass after pass, and prints one JSON line:
//   {"values":..., "wall_s":..., "cpu_s":..., "values_per_s":..., "cpu_us_per_value":...}
"use strict";

const path = require("path");
const {
  OPCUAClient,
  OPCUACertificateManager,
  AttributeIds,
  MessageSecurityMode,
  SecurityPolicy,
} = require("node-opcua");

function parseArgs(argv) {
  const opts = { url: undefined, certDir: undefined, tags: 20000, batch: 200, passes: 3 };
  for (let i = 0; i < argv.length; i += 2) {
    const key = argv[i];
    const value = argv[i + 1];
    if (value === undefined) throw new Error(`${key} needs a value`);
    if (key === "--url") opts.url = value;
    else if (key === "--cert-dir") opts.certDir = path.resolve(value);
    else if (["--tags", "--batch", "--passes"].includes(key)) {
      const n = Number(value);
      if (!Number.isInteger(n) || n < 1) throw new Error(`${key} needs a positive integer, got '${value}'`);
      opts[key.slice(2)] = n;
    } else throw new Error(`unknown option '${key}'`);
  }
  if (!opts.url || !opts.certDir) throw new Error("--url and --cert-dir are required");
  return opts;
}

async function main() {
  const opts = parseArgs(process.argv.slice(2));
  const client = OPCUAClient.create({
    endpointMustExist: false,
    securityMode: MessageSecurityMode.None,
    securityPolicy: SecurityPolicy.None,
    clientCertificateManager: new OPCUACertificateManager({
      rootFolder: path.join(opts.certDir, "client_pki"),
      automaticallyAcceptUnknownCertificate: true,
    }),
    connectionStrategy: { maxRetry: 0 },
  });
  await client.connect(opts.url);
  const session = await client.createSession();

  const batches = [];
  for (let start = 1; start <= opts.tags; start += opts.batch) {
    const nodes = [];
    for (let n = start; n < start + opts.batch && n <= opts.tags; n++) {
      nodes.push({ nodeId: `ns=2;s=Demo.Count${n}`, attributeId: AttributeIds.Value });
    }
    batches.push(nodes);
  }

  let values = 0;
  const cpu0 = process.cpuUsage();
  const t0 = process.hrtime.bigint();
  for (let pass = 0; pass < opts.passes; pass++) {
    for (const nodes of batches) {
      const results = await session.read(nodes, 0);
      values += results.length;
    }
  }
  const wall = Number(process.hrtime.bigint() - t0) / 1e9;
  const cpu = process.cpuUsage(cpu0);
  const cpuSeconds = (cpu.user + cpu.system) / 1e6;

  await session.close();
  await client.disconnect();
  process.stdout.write(
    JSON.stringify({
      values,
      wall_s: wall,
      cpu_s: cpuSeconds,
      values_per_s: values / wall,
      cpu_us_per_value: (cpuSeconds * 1e6) / values,
    }) + "\n",
  );
}

main().catch((err) => {
  process.stderr.write(`bench-client: ${err.stack || err}\n`);
  process.exit(2);
});
