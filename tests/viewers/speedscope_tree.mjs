// What speedscope's importer builds from a file:
//   node speedscope_tree.mjs NODE_MODULES PROFILE.json
// prints one JSON object on stdout:
//   {"consumer": "speedscope", "version": "1.25.0", "imported_as": "speedscope json file",
//    "profiles": [{"name": "...", "total": 3000,
//       "scopes": [{"name": "...", "start": 1000, "duration": 3000,
//                   "depth": 0, "parent": null, "parent_name": null}, ...]}],
//    "warnings": [...], "errors": [...]}
// Scopes are the calls in the order speedscope's time-ordered view walks
// them (profile.forEachCall); "parent" is an index into that list. Times
// are relative to the profile's start, in the file's unit.
//
// The package ships only the browser bundle its command line opens, so the
// bundle runs here without its page: the part after the importer, which
// draws the page, is cut off, and the importer module the bundle loads
// lazily is taken as the page takes it when its command line hands it a file.
import fs from 'node:fs';
import path from 'node:path';
import vm from 'node:vm';

const [modules, file] = process.argv.slice(2);
if (!modules || !file) {
  console.error('usage: node speedscope_tree.mjs NODE_MODULES PROFILE.json');
  process.exit(2);
}
const packagePath = path.join(modules, 'speedscope');
const result = {consumer: 'speedscope', version: null, imported_as: null, profiles: [], warnings: [], errors: []};

for (const level of ['log', 'info', 'warn', 'error', 'debug']) {
  console[level] = (...args) => {
    const text = args.map(String).join(' ');
    const imported = /^Importing as (.*)$/.exec(text);
    if (imported) result.imported_as = imported[1];
    else result.warnings.push(`${level}: ${text}`);
  };
}

function loadImporter() {
  const release = path.join(packagePath, 'dist/release');
  const bundle = fs.readdirSync(release).find(name => /^speedscope-.*\.js$/.test(name));
  if (!bundle) throw new Error(`no speedscope bundle in ${release}`);
  const source = fs.readFileSync(path.join(release, bundle), 'utf8');
  // async function X(name, base64){return(await IMPORTER).importProfileGroupFromBase64(name, base64)}
  const importer = /async function [\w$]+\([\w$]+,[\w$]+\)\{return\(await ([\w$]+)\)\.importProfileGroupFromBase64\(/.exec(source);
  const page = source.lastIndexOf('console.log(`speedscope v${');
  if (!importer || page < 0) throw new Error(`speedscope ${result.version}: its bundle is not laid out as expected`);
  // What the bundle reads of the browser while it loads.
  globalThis.window = globalThis;
  globalThis.location = {hash: '', protocol: 'file:', href: `file://${release}/index.html`};
  globalThis.localStorage = {};
  globalThis.matchMedia = () => ({matches: false, addEventListener() {}, addListener() {}});
  const name = '__vornSpeedscopeImporter';
  vm.runInThisContext(`${source.slice(0, page)}globalThis.${name}=${importer[1]};})();`, {filename: bundle});
  return globalThis[name];
}

try {
  result.version = JSON.parse(fs.readFileSync(path.join(packagePath, 'package.json'), 'utf8')).version;
  const importer = await loadImporter();
  const contents = fs.readFileSync(file);
  const group = await importer.importProfileGroupFromBase64(path.basename(file), contents.toString('base64'));
  if (!group) throw new Error('speedscope did not recognise the file');
  for (const profile of group.profiles) {
    const scopes = [];
    const stack = [];  // indices into scopes of the calls open
    profile.forEachCall(
      (node, value) => {
        const parent = stack.length ? stack[stack.length - 1] : null;
        stack.push(scopes.length);
        scopes.push({
          name: node.frame.name,
          start: value,
          duration: null,
          depth: stack.length - 1,
          parent,
          parent_name: parent === null ? null : scopes[parent].name,
        });
      },
      (node, value) => {
        const scope = scopes[stack.pop()];
        if (scope.name !== node.frame.name) result.errors.push(`closed ${node.frame.name} while ${scope.name} is open`);
        scope.duration = value - scope.start;
      });
    result.profiles.push({name: profile.getName(), total: profile.getTotalWeight(), scopes});
  }
} catch (error) {
  result.errors.push(String(error?.stack ?? error));
}
process.stdout.write(JSON.stringify(result) + '\n');
