// Checks glTF files with the Khronos glTF validator: prints each file's issue counts and every
// message, and exits 1 when a file has an error or a warning (infos and hints are printed only).
'use strict';
const fs = require('fs');
const path = require('path');
const validator = require('gltf-validator');

async function check(file) {
  const report = await validator.validateBytes(new Uint8Array(fs.readFileSync(file)), {
    uri: path.basename(file),
    maxIssues: 100,
  });
  const issues = report.issues;
  console.log(`${file}: ${issues.numErrors} errors, ${issues.numWarnings} warnings, ` +
              `${issues.numInfos} infos, ${issues.numHints} hints`);
  const severities = ['error', 'warning', 'info', 'hint'];
  for (const message of issues.messages)
    console.log(`  ${severities[message.severity]} ${message.code} ${message.pointer || ''}: ` +
                message.message);
  return issues.numErrors === 0 && issues.numWarnings === 0;
}

(async () => {
  const files = process.argv.slice(2);
  if (files.length === 0) {
    console.error('usage: node validate.js FILE.glb...');
    process.exit(2);
  }
  let clean = true;
  for (const file of files) clean = (await check(file)) && clean;
  process.exit(clean ? 0 : 1);
})().catch((error) => {
  console.error(String(error));
  process.exit(2);
});
