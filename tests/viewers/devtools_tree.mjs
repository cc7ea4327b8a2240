// What Chrome DevTools' trace engine builds from a Trace Event Format file:
//   node devtools_tree.mjs NODE_MODULES EXPORT.json
// prints one JSON object on stdout:
//   {"consumer": "devtools", "version": "0.0.65",
//    "processes": [{"pid": 1, "name": "...", "threads": [{"tid": 1, "name": "...",
//       "instants": 2,          // instant events the engine kept for the thread
//       "instants_in_tree": 2,  // ... and placed in its tree
//       "end": 4000,            // the thread's last moment: its latest end
//       "scopes": [{"name": "...", "start": 1000, "duration": 3000,
//                   "depth": 0, "parent": null, "parent_name": null, "in_tree": true}, ...]}]}],
//    "tracks": [{"group": "...", "track": "task a", "handler": "ExtensionTraceData",
//       "spans": [{"name": "...", "id": "task a", "pid": 1, "start": 1000, "duration": 3000,
//                  "depth": 0, "in_tree": true}, ...]}],
//    "measures": 3,  // async pairs of the user-timing category the engine matched
//    "warnings": [...], "errors": [...]}
// Scopes are the thread's complete events in the engine's own order (by
// start); "parent" is an index into that list. A scope the engine left out
// of its tree (it overlaps its would-be parent) has "in_tree": false and no
// depth. Times are the engine's microseconds. "tracks" are the custom
// tracks the engine built from async pairs that name one in their detail,
// each span in the engine's order; "in_tree" says it nests on its track.
import fs from 'node:fs';
import path from 'node:path';
import {pathToFileURL} from 'node:url';

const [modules, file] = process.argv.slice(2);
if (!modules || !file) {
  console.error('usage: node devtools_tree.mjs NODE_MODULES EXPORT.json');
  process.exit(2);
}
const enginePath = path.join(modules, '@paulirish/trace_engine');
const result = {consumer: 'devtools', version: null, processes: [], tracks: [], measures: 0, warnings: [], errors: []};

// The engine reports trouble through the console; keep what it says apart
// from our own output.
for (const level of ['log', 'info', 'warn', 'error', 'debug']) {
  console[level] = (...args) => result.warnings.push(`${level}: ${args.map(String).join(' ')}`);
}

try {
  result.version = JSON.parse(fs.readFileSync(path.join(enginePath, 'package.json'), 'utf8')).version;
  // The engine expects a browser; its own analyze-trace.mjs installs this polyfill.
  const {polyfillDOMRect} = await import(pathToFileURL(path.join(enginePath, 'analyze-trace.mjs')));
  polyfillDOMRect();
  const Trace = await import(pathToFileURL(path.join(enginePath, 'models/trace/trace.js')));
  const json = JSON.parse(fs.readFileSync(file, 'utf8'));
  const events = json.traceEvents ?? json;
  const model = Trace.TraceModel.Model.createWithAllHandlers();
  await model.parse(events);
  const parsed = model.parsedTrace();
  if (!parsed) throw new Error('the engine produced no parsed trace');
  const {processes, entryToNode} = parsed.data.Renderer;
  const processNames = parsed.data.Meta.processNames;
  for (const [pid, process] of processes) {
    const threads = [];
    for (const [tid, thread] of process.threads) {
      const scopes = thread.entries.filter(entry => entry.ph === 'X');
      const index = new Map(scopes.map((entry, i) => [entry, i]));
      const instants = thread.entries.filter(entry => entry.ph === 'I');
      threads.push({
        tid,
        name: thread.name,
        instants: instants.length,
        instants_in_tree: instants.filter(entry => entryToNode.has(entry)).length,
        end: thread.entries.reduce((end, entry) => Math.max(end, entry.ts + (entry.dur ?? 0)), -Infinity),
        scopes: scopes.map(entry => {
          const node = entryToNode.get(entry);
          let parent = node?.parent ?? null;
          // An instant event never encloses a scope, but skip one to be sure.
          while (parent && parent.entry.ph !== 'X') parent = parent.parent;
          return {
            name: entry.name,
            start: entry.ts,
            duration: entry.dur,
            depth: node ? node.depth : null,
            parent: parent ? index.get(parent.entry) : null,
            parent_name: parent ? parent.entry.name : null,
            in_tree: node !== undefined,
          };
        }),
      });
    }
    result.processes.push({pid, name: processNames.get(pid)?.args?.name ?? null, threads});
  }
  result.measures = parsed.data.UserTimings.performanceMeasures.length;
  const extensions = parsed.data.ExtensionTraceData;
  for (const group of extensions.extensionTrackData) {
    for (const [track, entries] of Object.entries(group.entriesByTrack)) {
      result.tracks.push({
        group: group.name,
        track,
        handler: 'ExtensionTraceData',
        spans: entries.map(entry => ({
          name: entry.name,
          id: entry.rawSourceEvent?.id2?.local ?? entry.rawSourceEvent?.id ?? null,
          pid: entry.pid,
          start: entry.ts,
          duration: entry.dur,
          depth: extensions.entryToNode.get(entry)?.depth ?? null,
          in_tree: extensions.entryToNode.has(entry),
        })),
      });
    }
  }
} catch (error) {
  result.errors.push(String(error?.stack ?? error));
}
process.stdout.write(JSON.stringify(result) + '\n');
