"use strict";
// Draws the embedded traces: a lane per thread, grouped by host and process; in each lane
// a bar per scope at its nesting depth and a mark per log record, hanging
// under the bar of the scope it was written in. Under a thread, a lane per
// asyncio task holds the spans that thread began. Every text goes in through
// textContent or an attribute, never as markup.
//
// Hosts, processes and lanes fold away with a click on their label (a folded
// lane squeezes into one thin row); the labels stick to the top while a deep
// lane scrolls past. The search box marks every scope, record and span whose
// message, invoker or file holds the text, and steps through them.
//
// Labels and headers are HTML; the bars and marks are painted on one canvas
// that stays in the viewport, lane by lane where each lane's (empty) track
// lies. A page of a million scopes would need gigabytes as elements; painted,
// it needs the data's columns and a few pixels. Each lane's bars are indexed
// by depth and time, so painting a view is a binary search per row and a walk
// over what it shows; what is narrower than a pixel is merged into one block
// that counts what it holds, so nothing drops out of sight.
(() => {
  const root = document.documentElement;
  const $ = (id) => document.getElementById(id);
  const element = (tag, className) => {
    const node = document.createElement(tag);
    if (className) node.className = className;
    return node;
  };

  const ROW = 26;         // px per nesting level
  const BAR_TOP = 3;      // bar inside its row
  const BAR_HEIGHT = 17;
  // Log marks hang just under their scope's bar, overlapping its lower edge:
  // thick and tall enough to be hit without aiming at a pixel.
  const MARK_TOP = 19;
  const MARK_BOTTOM = 24;
  const MARK_WIDTH = 4;   // px; marks closer than this merge
  const FOLDED = 8;       // px of a folded lane's squeezed bars
  const FOLDED_TOP = 6;
  const MIN_LABEL = 36;   // px a bar needs before it gets a label
  const MIN_BAR = 2;      // px a bar needs to be drawn alone; narrower ones merge
  const REACH = 4;        // px around a thin bar or a mark that still hits it

  const data = JSON.parse($("vorn-data").textContent);
  // The closest zoom, in ms across: a microsecond where the files have
  // precise times, else a millisecond, the files' own unit.
  const MIN_SPAN = data.measured[0] ? 0.001 : 1;
  const text = data.strings;
  const start = data.start;
  // A little room after the last time, so marks at the end stay in sight.
  const domain = Math.max(data.end - start, 1) * 1.02;
  const end = start + domain;
  const lanes = data.hosts.flatMap((host) => host.processes.flatMap((process) => process.lanes));
  // Every lane drawn: each thread's, followed by its task lanes.
  const drawn = [];
  const NOT_ALIGNED = "(not aligned)";

  const viewport = $("viewport");
  const axis = $("axis");
  const grid = $("grid");
  const details = $("details");
  const paper = $("paint");
  const ink = paper.getContext("2d");

  let view = { from: start, to: end };
  let pinned = null;  // the item whose details stay shown

  // ---- the data's columns ---------------------------------------------------

  // A column of `count` numbers: the list, or one number for every row.
  function column(value, count, Type) {
    return typeof value === "number" ? new Type(count).fill(value) : new Type(value);
  }

  // A column of steps from the row before, summed back up; times come in
  // ns steps and go back to ms.
  function summed(steps, count, Type, unit = 1) {
    const out = new Type(count);
    let total = 0;
    for (let i = 0; i < count; i++) {
      total += typeof steps === "number" ? steps : steps[i];
      out[i] = total / unit;
    }
    return out;
  }
  const times = (steps, count) => summed(steps, count, Float64Array, 1e6);

  // A thread's scopes: parent and depth, enter and exit in ms (a scope that
  // never closed runs to the end of the timeline), texts as string indices.
  function decodeScopes(table) {
    const count = table.count;
    const parent = column(table.parent, count, Int32Array);
    for (let i = 0; i < count; i++) parent[i] = parent[i] === 0 ? -1 : i - parent[i];
    const enter = times(table.enter, count);
    const length = column(table.length, count, Float64Array);
    const exit = new Float64Array(count);
    const open = new Uint8Array(count);
    for (let i = 0; i < count; i++) {
      open[i] = length[i] < 0;
      exit[i] = open[i] ? end : enter[i] + length[i] / 1e6;
    }
    const raised = column(table.raised, count, Int32Array).map((value) => value - 1);
    const args = summed(table.args, count, Int32Array);
    const invoker = column(table.invoker, count, Int32Array);
    return {
      count, parent, depth: column(table.depth, count, Int32Array), enter, exit, open, raised, args, invoker,
      file: column(table.file, count, Int32Array), line: column(table.line, count, Int32Array),
      measured: column(table.measured, count, Uint8Array),
      // What a bar is coloured and labelled by.
      ink: invoker, label: args.map((value, i) => (text[value] ? value : invoker[i])),
    };
  }

  function decodeRecords(table) {
    const count = table.count;
    const parent = column(table.parent, count, Int32Array).map((value) => value - 1);
    return {
      count, parent, time: times(table.time, count), invoker: column(table.invoker, count, Int32Array),
      file: column(table.file, count, Int32Array), line: column(table.line, count, Int32Array),
      args: summed(table.args, count, Int32Array), measured: column(table.measured, count, Uint8Array),
    };
  }

  // A task lane's spans as bars: [level, begin, end, message, open, raised, id, measured].
  function decodeSpans(rows) {
    const count = rows.length;
    const pick = (at, Type) => Type.from(rows, (row) => Number(row[at]));
    const message = pick(3, Int32Array);
    return {
      count, parent: new Int32Array(count).fill(-1), depth: pick(0, Int32Array), enter: pick(1, Float64Array),
      exit: pick(2, Float64Array), open: pick(4, Uint8Array), raised: pick(5, Int32Array), args: message,
      id: pick(6, Int32Array), measured: pick(7, Uint8Array), ink: new Int32Array(count).fill(-1), label: message,
    };
  }

  const noRecords = () => decodeRecords({ count: 0, parent: [], time: [], invoker: [], file: [], line: [],
    args: [], measured: [] });

  // Rows of one depth in time order, with the furthest exit so far: the
  // first row that reaches into a view is a binary search away. What the
  // painting reads of each row is copied in that order, so that walking a
  // view reads memory in sequence.
  function byDepth(rows, depths, starts, ends) {
    const count = rows.count;
    const sizes = [];
    for (let i = 0; i < count; i++) sizes[depths[i]] = (sizes[depths[i]] ?? 0) + 1;
    const levels = Array.from(sizes, (size) => ({ order: new Int32Array(size ?? 0), length: 0 }));
    for (let i = 0; i < count; i++) {
      const level = levels[depths[i]];
      level.order[level.length++] = i;
    }
    return levels.map(({ order: unsorted }) => {
      let order = unsorted;
      for (let k = 1; k < order.length; k++) {
        if (starts[order[k]] < starts[order[k - 1]]) {
          order = order.sort((a, b) => starts[a] - starts[b] || a - b);
          break;
        }
      }
      const size = order.length;
      const at = new Float64Array(size);
      const end = new Float64Array(size);
      const reach = new Float64Array(size);
      // 0 closed, 1 raised, 2 never closed: blocks merge only their like.
      const outcome = new Uint8Array(size);
      const ink = new Int32Array(size);
      let furthest = -Infinity;
      for (let k = 0; k < size; k++) {
        const i = order[k];
        at[k] = starts[i];
        end[k] = ends[i];
        furthest = Math.max(furthest, ends[i]);
        reach[k] = furthest;
        outcome[k] = rows.raised && rows.raised[i] >= 0 ? 1 : rows.open && rows.open[i] ? 2 : 0;
        ink[k] = rows.ink ? rows.ink[i] : rows.invoker[i];
      }
      return { order, at, end, reach, outcome, ink };
    });
  }

  // The first k with values[k] >= value (values ascending).
  function lowerBound(values, value) {
    let low = 0, high = values.length;
    while (low < high) {
      const middle = (low + high) >>> 1;
      if (values[middle] < value) low = middle + 1;
      else high = middle;
    }
    return low;
  }
  // The first k with values[k] > value.
  function upperBound(values, value) {
    let low = 0, high = values.length;
    while (low < high) {
      const middle = (low + high) >>> 1;
      if (values[middle] <= value) low = middle + 1;
      else high = middle;
    }
    return low;
  }

  // ---- texts and colours ----------------------------------------------------

  // Counts with their thousands grouped: (2009, "thread") => "2,009 threads".
  const grouped = (count) => count.toLocaleString("en-US");
  const plural = (count, noun) =>
    `${grouped(count)} ${noun}${count === 1 ? "" : /(s|ch)$/.test(noun) ? "es" : "s"}`;

  // At most three decimals and no trailing zeros: 5.52149 => "5.521"; 1.7 => "1.7".
  const decimals = (value) => String(+value.toFixed(3));

  // A time or a duration in ms as people read it, to the microsecond: in ms
  // with at most three decimals, or in whole µs below a millisecond (below
  // one µs, to the ns): 5.5214 => "5.521 ms"; 0.1842 => "184 µs";
  // 0.00025 => "0.25 µs"; 1200 => "1200 ms"; 0.9999 => "1 ms".
  function formatMs(ms) {
    const us = Math.abs(ms) < 0.001 ? decimals(ms * 1000) : Math.round(ms * 1000);
    return ms !== 0 && Math.abs(us) < 1000 ? `${us} µs` : `${decimals(ms)} ms`;
  }

  // An axis label with as many digits as the step needs:
  // (3600000, 1000000) => "3600 s"; (2500, 500) => "2.5 s"; (12.5, 0.5) => "12.5 ms".
  function formatTick(ms, step) {
    if (step >= 1000) return `${(ms / 1000).toFixed(Math.max(0, 3 - Math.floor(Math.log10(step))))} s`;
    return `${ms.toFixed(Math.max(0, Math.min(-Math.floor(Math.log10(step)), 6)))} ms`;
  }

  // A time of the details. Measured times (from the file's precise times)
  // are shown to the microsecond. Any other is the file's millisecond; where
  // the event was drawn inside it to show its order among the events of
  // that millisecond, that is said: 300 => "300 ms"; 300.25 =>
  // "300 ms (no precise time: drawn at 300.25 ms to show order)".
  function timeText(ms, measured) {
    if (measured || Number.isInteger(ms)) return formatMs(ms);
    return `${Math.floor(ms)} ms (no precise time: drawn at ${formatMs(ms)} to show order)`;
  }

  // A duration from `from` to `to`: measured to the microsecond
  // (0.15 => "150 µs", 1.7 => "1.7 ms"), else in the files' whole
  // milliseconds.
  function durationText(from, to, measured) {
    const ms = to - from;
    if (measured || (Number.isInteger(from) && Number.isInteger(to))) return formatDuration(ms);
    const whole = Math.floor(to) - Math.floor(from);
    return whole ? `about ${formatDuration(whole)} (no precise times)` : "under 1 ms (no precise times)";
  }

  // 0.15 => "150 µs"; 950 => "950 ms"; 61000 => "1 min 1 s"; 5400000 => "1 h 30 min".
  function formatDuration(ms) {
    if (ms < 1000) return formatMs(ms);
    if (ms < 60000) return `${decimals(ms / 1000)} s`;
    if (ms < 3600000) return `${Math.floor(ms / 60000)} min ${decimals((ms % 60000) / 1000)} s`;
    return `${Math.floor(ms / 3600000)} h ${Math.round((ms % 3600000) / 60000)} min`;
  }

  // A colour per invoker, in the order the invokers first appear; hues picked
  // to stay apart from each other, then around again a shade darker.
  const HUES = [212, 140, 28, 275, 350, 182, 48, 305, 100, 245, 8, 160];
  const palettes = new Map();
  function paletteOf(name) {
    let palette = palettes.get(name);
    if (!palette) {
      const hue = HUES[palettes.size % HUES.length];
      const shade = 80 - 8 * (Math.floor(palettes.size / HUES.length) % 3);
      palette = {
        fill: `hsl(${hue} 65% ${shade}%)`,
        stroke: `hsl(${hue} 40% ${shade - 30}%)`,
        ink: `hsl(${hue} 45% 20%)`,
        mark: `hsl(${hue} 50% 32%)`,
      };
      palettes.set(name, palette);
    }
    return palette;
  }

  // ---- building the lanes ---------------------------------------------------

  // Scopes and spans that raised or never closed are drawn in colours of
  // their own, whatever their invoker, with a mark on the edge that tells:
  // where the exception left (the bar's end), where the scope began that
  // never ended (its start; the bar runs on, fading out).
  const RAISED = { fill: "#f9d0ca", stroke: "#b3261e", ink: "#7a1212", mark: "#b3261e" };
  const UNCLOSED = { fill: "#fce3a6", stroke: "#9a5b00", ink: "#5c3700", mark: "#9a5b00" };
  // Blocks of bars too thin to draw apart, from several invokers.
  const MIXED = { fill: "#d5d9e1", stroke: "#8a92a3", ink: "#3b4252", mark: "#5b6475" };
  const inkOf = (lane, bars, i) => (bars.ink[i] < 0 ? lane.palette : paletteOf(text[bars.ink[i]]));
  const paletteFor = (lane, bars, i) =>
    bars.raised[i] >= 0 ? RAISED : bars.open[i] ? UNCLOSED : inkOf(lane, bars, i);

  // [raised, never closed] among a lane's bars.
  function outcomes(bars) {
    let raised = 0, open = 0;
    for (let i = 0; i < bars.count; i++) {
      raised += bars.raised[i] >= 0;
      open += bars.open[i];
    }
    return [raised, open];
  }
  const totalled = (counts) => counts.reduce(([r, o], [raised, open]) => [r + raised, o + open], [0, 0]);

  // "(3 raised, 1 never closed)", or nothing.
  function outcomeText([raised, open]) {
    const notes = [raised && `${grouped(raised)} raised`, open && `${grouped(open)} never closed`].filter(Boolean);
    return notes.length ? ` (${notes.join(", ")})` : "";
  }

  function outcomeNotes(head, [raised, open], unclosed) {
    for (const [count, className, words] of [[raised, "raised-note", "raised"], [open, "open-note", unclosed]]) {
      if (!count) continue;
      const note = element("small", className);
      note.textContent = `${grouped(count)} ${words}`;
      head.append(note);
    }
  }

  // A label that folds its lane or group: a click or Enter on it.
  function toggle(node, className, target) {
    node.className = className;
    node.tabIndex = 0;
    node.setAttribute("role", "button");
    node.setAttribute("aria-expanded", "true");
    node.fold = target;
    node.dataset.toggle = "";
    return node;
  }

  function laneSide(head) {
    const label = element("div", "lane-side");
    label.append(head);
    return label;
  }

  function threadHead(lane) {
    const head = toggle(element("div"), "lane-label", lane);
    head.title = `${lane.name}\n${lane.path}`;
    const name = element("b");
    name.textContent = lane.member ?? lane.name;
    head.append(name);
    // Its times count from its own process's start, not the timeline's zero.
    if (!lane.aligned) {
      const note = element("small", "unaligned-note");
      note.textContent = NOT_ALIGNED;
      head.append(note);
    }
    const counts = element("small");
    counts.textContent = `${plural(lane.bars.count, "scope")} · ${plural(lane.records.count, "record")}`;
    head.append(counts);
    outcomeNotes(head, lane.outcomes, "never closed");
    const [scopesOut, recordsOut] = lane.outside;
    if (scopesOut || recordsOut) {
      const note = element("small", "outside-note");
      note.textContent = `${grouped(scopesOut + recordsOut)} outside the range`;
      head.append(note);
    }
    return head;
  }

  function taskHead(task) {
    const head = toggle(element("div"), "lane-label", task);
    const name = element("b");
    name.textContent = task.name;
    const counts = element("small");
    counts.textContent = plural(task.bars.count, "span");
    head.append(name, counts);
    outcomeNotes(head, task.outcomes, "never ended");
    return head;
  }

  // A lane's row in the page: its label, and an empty track the canvas
  // paints over.
  function laneSection(lane, head, kind) {
    const section = element("section", "lane");
    lane.kind = kind;
    lane.section = section;
    lane.folded = false;
    lane.height = Math.max(lane.depth, 1) * ROW + 4;
    const track = element("div", "track");
    track.style.height = `${lane.height}px`;
    track.lane = lane;
    lane.track = track;
    lane.levels = byDepth(lane.bars, lane.bars.depth, lane.bars.enter, lane.bars.exit);
    lane.markLevels = byDepth(lane.records, lane.records.depth, lane.records.time, lane.records.time);
    lane.matched = { bars: new Uint8Array(lane.bars.count), records: new Uint8Array(lane.records.count) };
    lane.painted = [];
    section.append(laneSide(head), track);
    drawn.push(lane);
    return section;
  }

  // A record hangs under the bar of its scope: its row is that scope's depth.
  function recordDepths(lane) {
    const records = lane.records;
    records.depth = Int32Array.from(records.parent, (parent) => (parent < 0 ? 0 : lane.bars.depth[parent]));
  }

  function buildLane(lane, laneIndex) {
    lane.bars = decodeScopes(lane.scopes);
    lane.records = decodeRecords(lane.instants);
    lane.outcomes = outcomes(lane.bars);
    recordDepths(lane);
    lane.key = `${lane.host}/${lane.thread}`;
    const section = laneSection(lane, threadHead(lane), "scope");
    section.dataset.lane = laneIndex;
    section.dataset.host = lane.host;
    section.dataset.thread = lane.thread;
    const sections = [section];
    lane.tasks.forEach((task, taskIndex) => {
      // Spans begun outside any task share the lane "spans".
      task.name = task.task === null ? "spans" : `task ${task.task}`;
      task.owner = lane;
      task.palette = paletteOf(`\u0000${task.name}`);
      task.bars = decodeSpans(task.spans);
      task.records = noRecords();
      task.records.depth = new Int32Array(0);
      task.outcomes = outcomes(task.bars);
      task.key = `${lane.key}/${taskIndex}`;
      task.host = lane.host;
      task.thread = lane.thread;
      const taskSection = laneSection(task, taskHead(task), "span");
      taskSection.classList.add("task-lane");
      taskSection.dataset.lane = laneIndex;
      taskSection.dataset.task = taskIndex;
      taskSection.dataset.host = lane.host;
      taskSection.dataset.thread = lane.thread;
      sections.push(taskSection);
    });
    return sections;
  }

  function processHeader(process, group) {
    const header = toggle(element("div"), "process", group);
    header.dataset.pid = process.pid ?? "";
    const name = element("span", "process-name");
    name.textContent = process.pid === null ? "without process identity" : process.name;
    header.append(name);
    const notes = [];
    if (process.ppid !== null) notes.push(`parent ${process.ppid}`);
    notes.push(plural(process.lanes.length, "thread"));
    if (!process.aligned) notes.push(NOT_ALIGNED);
    const small = element("small");
    small.textContent = notes.join(" · ");
    header.append(small);
    return header;
  }

  // A host's or process's lanes, folded away as one.
  function group(className) {
    const node = element("div", `group ${className}`);
    node.body = element("div", "group-body");
    node.folded = false;
    return node;
  }

  function build() {
    const container = $("lanes");
    let laneIndex = 0;
    for (const host of data.hosts) {
      const hostGroup = group("host-group");
      const header = toggle(element("div"), "host", hostGroup);
      header.dataset.host = host.name;
      const name = element("span", "host-name");
      name.textContent = host.name || "(no host name)";
      const count = element("small");
      const threads = host.processes.reduce((sum, process) => sum + process.lanes.length, 0);
      const named = host.processes.filter((process) => process.pid !== null).length;
      count.textContent = [named ? plural(named, "process") : "", plural(threads, "thread")]
        .filter(Boolean).join(" · ");
      header.append(name, count);
      hostGroup.append(header, hostGroup.body);
      container.append(hostGroup);
      for (const process of host.processes) {
        // Files without identity form one unnamed group, headed only when
        // it needs telling apart from processes that are aligned.
        const headed = process.pid !== null || !process.aligned;
        const processGroup = group(headed ? "process-group" : "process-group unheaded");
        if (headed) processGroup.append(processHeader(process, processGroup));
        processGroup.append(processGroup.body);
        hostGroup.body.append(processGroup);
        const threads = shelf(processGroup.body);
        const pools = new Map();  // by name: the pool's shelf
        const built = process.lanes.map((lane) => buildLane(lane, laneIndex++));
        process.lanes.forEach((lane, index) => {
          lane.groups = [hostGroup, processGroup];
          const nodes = built[index];
          let target = threads;
          if (lane.pool !== null) {
            target = pools.get(lane.pool);
            if (!target) {
              const poolGroup = group("pool-group");
              const members = process.lanes.filter((other) => other.pool === lane.pool);
              poolGroup.append(poolHeader(lane.pool, members, poolGroup), poolGroup.body);
              threads.items.push({ nodes: [poolGroup], always: true });
              target = shelf(poolGroup.body);
              target.group = poolGroup;
              pools.set(lane.pool, target);
            }
            lane.groups.push(target.group);
          }
          target.items.push({ lane, nodes, always: lane.main });
        });
      }
    }
    if (lanes.length === 0) {
      const empty = element("p", "empty");
      empty.textContent = "No trace files were given.";
      container.append(empty);
    }
    const count = (pick) => lanes.reduce((sum, lane) => sum + pick(lane), 0);
    const tasks = lanes.flatMap((lane) => lane.tasks);
    const spans = tasks.reduce((sum, task) => sum + task.bars.count, 0);
    const scopeOutcomes = totalled(lanes.map((lane) => lane.outcomes));
    const spanOutcomes = totalled(tasks.map((task) => task.outcomes));
    const range = data.range
      ? [`showing ${decimals(data.range[0])} – ${decimals(data.range[1])} ms`,
         `outside it: ${plural(count((lane) => lane.outside[0]), "scope")}, ` +
         `${plural(count((lane) => lane.outside[1]), "record")}`]
      : [`${decimals(data.start)} – ${decimals(data.end)} ms`];
    $("summary").textContent = [
      `${plural(lanes.length, "thread")} on ${plural(data.hosts.length, "host")}`,
      `${plural(count((lane) => lane.bars.count), "scope")}${outcomeText(scopeOutcomes)}`,
      plural(count((lane) => lane.records.count), "record"),
      ...(spans ? [`${plural(spans, "span")}${outcomeText(spanOutcomes)}`] : []),
      ...range,
      ...(data.origin ? [`0 ms = ${data.origin}`] : []),
      precision(),
    ].filter(Boolean).join(" · ");
    $("unit").textContent = "time (ms)";
    legend(scopeOutcomes[0] + spanOutcomes[0], scopeOutcomes[1] + spanOutcomes[1]);
  }

  // The key to the colours of the bars that raised or never closed, with
  // their numbers; none when there are none.
  function legend(raised, open) {
    const keys = [[raised, "raised"], [open, "never closed"]].filter(([count]) => count).map(([count, words]) => {
      const key = element("span", `key ${words === "raised" ? "raised-key" : "open-key"}`);
      key.textContent = `${grouped(count)} ${words}`;
      return key;
    });
    $("legend").replaceChildren(...keys);
    $("legend").hidden = !keys.length;
  }

  // ---- lanes with nothing in view -------------------------------------------

  // A process's threads, or a pool's: its items (a thread's lane with its
  // task lanes, or a pool) in order, those with something in the view
  // first, then one row "N idle threads" that unfolds to show the others.
  // Whether a thread has something in view is told by the first and last
  // moment it draws anything, so zooming never looks at its bars.
  const shelves = [];
  function shelf(body) {
    const idle = group("idle-group");
    idle.folded = true;
    idle.classList.add("folded");
    const head = toggle(element("div"), "idle", idle);
    head.setAttribute("aria-expanded", "false");
    idle.label = element("span", "idle-name");
    const note = element("small");
    note.textContent = "nothing in this range";
    head.append(idle.label, note);
    idle.append(head, idle.body);
    const made = { body, idle, items: [], shown: null };
    shelves.push(made);
    return made;
  }

  const busy = (lane) => lane.active !== null && lane.active[0] <= view.to && (lane.active[1] ?? end) >= view.from;

  // Puts each shelf's items where they belong in the current view; only
  // shelves whose items changed side are laid out again.
  function settle() {
    for (const made of shelves) {
      let changed = made.shown === null;
      for (const item of made.items) {
        const shown = item.always || busy(item.lane);
        if (item.lane) item.lane.idle = !shown;
        if (item.shown !== shown) changed = true;
        item.shown = shown;
      }
      if (!changed) continue;
      const idle = made.items.filter((item) => !item.shown);
      made.body.replaceChildren(...made.items.filter((item) => item.shown).flatMap((item) => item.nodes), made.idle);
      made.idle.body.replaceChildren(...idle.flatMap((item) => item.nodes));
      made.idle.label.textContent = `${plural(idle.length, "idle thread")}`;
      made.idle.hidden = !idle.length;
      made.shown = true;
    }
  }

  // A pool's header: its name, its size and what raised or never closed in
  // it, which may lie in lanes out of view.
  function poolHeader(name, members, poolGroup) {
    const header = toggle(element("div"), "pool", poolGroup);
    const label = element("span", "pool-name");
    label.textContent = name;
    const small = element("small");
    small.textContent = `pool of ${plural(members.length, "thread")}`;
    header.append(label, small);
    outcomeNotes(header, totalled(members.flatMap((lane) => [lane.outcomes, ...lane.tasks.map((task) => task.outcomes)])),
      "never closed");
    return header;
  }

  // Which times the page shows as measured: those from the files' precise
  // times. The others are whole milliseconds, and the events that share one
  // are drawn spread inside it in file order.
  function precision() {
    const [measured, total] = data.measured;
    if (!total) return "";
    if (measured === total) return "times measured to the µs";
    const order = "times inside a millisecond show order only";
    return measured ? `${measured} of ${total} measured to the µs; for the rest ${order}` : `whole ms: ${order}`;
  }

  // ---- painting the current view --------------------------------------------

  // Read once per resize: asking for layout while drawing would make the
  // browser lay out the previous view first.
  let widthCache = 0;
  const trackWidth = () => widthCache || (widthCache = axis.clientWidth || 1);

  function niceStep(rough) {
    const power = 10 ** Math.floor(Math.log10(rough));
    for (const factor of [1, 2, 5]) if (power * factor >= rough) return power * factor;
    return power * 10;
  }

  function drawTicks(width, scale) {
    const step = niceStep(Math.max((view.to - view.from) * 110 / width, 1e-6));
    const ticks = [];
    const lines = [];
    for (let i = Math.ceil(view.from / step); i * step <= view.to; i++) {
      const x = `${(i * step - view.from) * scale}px`;
      const tick = element("div", "tick");
      tick.style.left = x;
      const label = element("span");
      label.textContent = formatTick(i * step, step);
      // A label that would run past the right edge ends at its tick instead
      // (about 6.5 px per character at this size).
      if ((i * step - view.from) * scale + 6 + label.textContent.length * 6.5 > width) label.className = "end";
      tick.append(label);
      ticks.push(tick);
      const line = element("div");
      line.style.left = x;
      lines.push(line);
    }
    axis.replaceChildren(...ticks);
    grid.replaceChildren(...lines);
  }

  const MATCH = "#c2188b";
  const SELECTED = "#2f6fdf";
  const FONT = '12px system-ui, -apple-system, "Segoe UI", Roboto, "Noto Sans", sans-serif';

  // The canvas covers the viewport's tracks, in device pixels for crisp edges.
  function sizePaper(width, height) {
    const ratio = window.devicePixelRatio || 1;
    const [w, h] = [Math.round(width * ratio), Math.round(height * ratio)];
    if (paper.width !== w || paper.height !== h) {
      paper.width = w;
      paper.height = h;
      paper.style.width = `${width}px`;
      paper.style.height = `${height}px`;
      paper.style.marginBottom = `-${height}px`;
    }
    ink.setTransform(ratio, 0, 0, ratio, 0, 0);
  }

  // Text inside a bar, cut at its visible part.
  function label(words, left, right, y, colour) {
    ink.save();
    ink.beginPath();
    ink.rect(left + 4, y, right - left - 8, BAR_HEIGHT);
    ink.clip();
    ink.fillStyle = colour;
    ink.fillText(words, left + 5, y + BAR_HEIGHT / 2 + 0.5);
    ink.restore();
  }

  function outline(left, y, width, height, colour, lineWidth, dashed) {
    ink.lineWidth = lineWidth;
    ink.strokeStyle = colour;
    ink.setLineDash(dashed ? [4, 3] : []);
    ink.strokeRect(left + lineWidth / 2, y + lineWidth / 2, Math.max(width - lineWidth, 0), height - lineWidth);
  }

  const isPinned = (lane, kind, index) =>
    pinned !== null && pinned.lane === lane && pinned.kind === kind && pinned.count === 1 && pinned.index === index;

  // One bar, or a block of `count` bars too thin to draw apart.
  function paintBar(lane, item, width, folded) {
    const bars = lane.bars;
    const single = item.count === 1;
    const palette = item.raised ? RAISED : item.open ? UNCLOSED
      : single || !item.mixed ? inkOf(lane, bars, item.index) : MIXED;
    const left = Math.max(item.x0, -2);
    const right = Math.min(Math.max(item.x1, item.x0 + 1), width + 2);
    const span = right - left;
    ink.fillStyle = palette.fill;
    ink.fillRect(left, item.y, span, item.h);
    if (!single) {
      // A block: hatched, so that it never reads as one long scope.
      ink.fillStyle = "rgba(255,255,255,0.45)";
      for (let x = Math.floor(left / 4) * 4; x < right; x += 4) ink.fillRect(x, item.y, 1, item.h);
    }
    if (single && bars.open[item.index] && span > 6) {
      // Never closed: the bar fades out towards its end.
      const fade = ink.createLinearGradient(left, 0, right, 0);
      fade.addColorStop(0.55, "rgba(255,255,255,0)");
      fade.addColorStop(1, "rgba(255,255,255,0.9)");
      ink.fillStyle = fade;
      ink.fillRect(left, item.y, span, item.h);
    }
    if (folded) return;
    if (span >= 3) outline(left, item.y, span, item.h, palette.stroke, 1, single && bars.open[item.index]);
    // The edge that tells: where the exception left, where the scope that
    // never ended began.
    if (item.raised && item.x1 <= width + 2) {
      ink.fillStyle = RAISED.mark;
      ink.fillRect(Math.max(item.x1 - 4, left), item.y + 2, Math.min(4, span), item.h - 4);
    } else if (item.open && single && item.x0 >= -2) {
      ink.fillStyle = UNCLOSED.mark;
      ink.fillRect(left, item.y + 2, Math.min(4, span), item.h - 4);
    }
    if (item.matched) outline(left - 1, item.y - 1, span + 2, item.h + 2, MATCH, 2.5, false);
    if (isPinned(lane, lane.kind, item.index) && single) outline(left - 1, item.y - 1, span + 2, item.h + 2, SELECTED, 2.5, false);
    if (span < MIN_LABEL) return;
    let words = single
      ? (bars.raised[item.index] >= 0 ? `\u2715 ${text[bars.label[item.index]]}` : text[bars.label[item.index]])
      : `${grouped(item.count)} ${lane.kind}s`;
    // A block says how many it holds, in words where they fit.
    if (!single && ink.measureText(words).width > Math.min(right, width) - Math.max(left, 0) - 10) {
      words = grouped(item.count);
    }
    label(words, Math.max(left, 0), Math.min(right, width), item.y, palette.ink);
  }

  function paintMark(lane, item) {
    const records = lane.records;
    const mixedInk = item.mixed ? MIXED.mark : paletteOf(text[records.invoker[item.index]]).mark;
    ink.fillStyle = item.matched ? MATCH : isPinned(lane, "instant", item.index) && item.count === 1 ? SELECTED : mixedInk;
    ink.fillRect(item.x0 - MARK_WIDTH / 2, item.y, item.x1 - item.x0 + MARK_WIDTH, item.h);
  }

  // Walks one row's bars (or marks) in view in time order, drawing each that
  // is wide enough and merging runs of thinner ones into counted blocks.
  // Bars that raised or never closed merge only with their like, so that a
  // block in their colours holds nothing else.
  function walkRow(level, matched, from, to, scale, thin, gap, emit) {
    const { order, at, end, outcome, ink } = level;
    const origin = view.from;
    let k = lowerBound(level.reach, from);
    const stop = upperBound(at, to);
    let block = null;
    const finish = (made) => {
      made.raised = made.outcome === 1 ? made.count : 0;
      made.open = made.outcome === 2 ? made.count : 0;
      emit(made);
    };
    for (; k < stop; k++) {
      const x1 = (end[k] - origin) * scale;
      if (x1 < -gap) continue;  // an earlier row reaches further than this one
      const x0 = (at[k] - origin) * scale;
      const kind = outcome[k];
      if (block !== null && x1 - x0 < thin && x0 <= block.x1 + gap && kind === block.outcome) {
        if (x1 > block.x1) block.x1 = x1;
        block.count++;
        block.matched += matched[order[k]];
        if (ink[k] !== block.ink) block.mixed = true;
        continue;
      }
      if (block !== null) finish(block);
      block = { x0, x1, first: k, count: 1, index: order[k], outcome: kind, ink: ink[k], matched: matched[order[k]],
                mixed: false, raised: 0, open: 0 };
      if (x1 - x0 >= thin) {
        finish(block);
        block = null;
      }
    }
    if (block !== null) finish(block);
  }

  function paintLane(lane, top, height, width, scale) {
    const folded = lane.folded;
    const rowHeight = folded ? FOLDED / Math.max(lane.depth, 1) : ROW;
    ink.save();
    ink.beginPath();
    ink.rect(0, top, width, height);
    ink.clip();
    const painted = [];
    lane.levels.forEach((level, depth) => {
      const y = top + (folded ? FOLDED_TOP + depth * rowHeight : depth * ROW + BAR_TOP);
      const h = folded ? Math.max(rowHeight, 1) : BAR_HEIGHT;
      walkRow(level, lane.matched.bars, view.from, view.to, scale, MIN_BAR, 1, (item) => {
        Object.assign(item, { kind: lane.kind, depth, y, h });
        paintBar(lane, item, width, folded);
        painted.push(item);
      });
    });
    if (!folded) {
      const reach = REACH / scale;
      lane.markLevels.forEach((level, depth) => {
        const y = top + depth * ROW + MARK_TOP - 1;
        walkRow(level, lane.matched.records, view.from - reach, view.to + reach, scale, Infinity, MARK_WIDTH, (item) => {
          Object.assign(item, { kind: "instant", depth, y, h: MARK_BOTTOM - MARK_TOP + 2 });
          paintMark(lane, item);
          painted.push(item);
        });
      });
    }
    ink.restore();
    lane.painted = painted;
  }

  // Paints every lane whose track is in sight where its track lies.
  function paint() {
    const width = trackWidth();
    const height = viewport.clientHeight;
    sizePaper(width, height);
    ink.clearRect(0, 0, width, height);
    ink.font = FONT;
    ink.textBaseline = "middle";
    const frame = paper.getBoundingClientRect();
    const scale = width / (view.to - view.from);  // px per ms
    for (const lane of drawn) {
      lane.painted = [];
      if ((lane.owner ?? lane).idle && lane.track.offsetParent === null) continue;
      const box = lane.track.getBoundingClientRect();
      if (!box.height || box.bottom < frame.top || box.top > frame.bottom) continue;
      paintLane(lane, box.top - frame.top, box.height, width, scale);
    }
  }

  let pending = 0;
  const paintSoon = () => { pending ||= requestAnimationFrame(() => { pending = 0; paint(); }); };

  function draw() {
    const width = trackWidth();
    settle();
    drawTicks(width, width / (view.to - view.from));
    paint();
  }

  // What lies under a point of the page: the mark or bar (or block) painted
  // there, as painted last; null for nothing.
  function itemAt(clientX, clientY) {
    const track = document.elementFromPoint(clientX, clientY)?.closest?.(".track");
    const lane = track?.lane;
    if (!lane) return null;
    const frame = paper.getBoundingClientRect();
    const x = clientX - frame.left;
    const y = clientY - frame.top;
    let found = null;
    let distance = Infinity;
    for (const item of lane.painted) {
      const mark = item.kind === "instant";
      const slack = mark ? 3 : 1;  // a mark is short: aim at it less exactly
      if (y < item.y - slack || y > item.y + item.h + slack) continue;
      const reach = mark ? REACH : item.x1 - item.x0 < 2 * REACH ? REACH / 2 : 0;
      if (x < item.x0 - reach || x > item.x1 + reach) continue;
      const away = Math.abs(x - (item.x0 + item.x1) / 2) - (mark ? 1e6 : 0);  // marks lie over bars
      if (away < distance) [found, distance] = [item, away];
    }
    return found && { ...found, lane };
  }

  // ---- zoom and pan ---------------------------------------------------------

  // Keeps the view inside the timeline and at least MIN_SPAN wide, and draws
  // at once: the browser already hands out wheel and pointer moves once per
  // frame.
  function setView(from, to) {
    const span = Math.min(Math.max(to - from, Math.min(MIN_SPAN, domain)), domain);
    from = Math.min(Math.max(from, start), end - span);
    view = { from, to: from + span };
    draw();
  }

  // factor > 1 zooms in, keeping the time under x (px in the track) in place.
  function zoom(factor, x = trackWidth() / 2) {
    const at = view.from + (view.to - view.from) * (x / trackWidth());
    setView(at - (at - view.from) / factor, at + (view.to - at) / factor);
  }

  function pan(px) {
    const shift = (view.to - view.from) * px / trackWidth();
    setView(view.from + shift, view.to + shift);
  }

  const trackX = (clientX) => clientX - axis.getBoundingClientRect().left;

  function onWheel(event) {
    const unit = event.deltaMode === 1 ? 16 : event.deltaMode === 2 ? viewport.clientHeight : 1;
    if (event.ctrlKey || event.metaKey || event.target.closest(".axis-row")) {
      event.preventDefault();
      zoom(Math.exp(-event.deltaY * unit * 0.002), trackX(event.clientX));
    } else if (event.shiftKey || Math.abs(event.deltaX) > Math.abs(event.deltaY)) {
      event.preventDefault();
      pan((event.shiftKey ? event.deltaY || event.deltaX : event.deltaX) * unit);
    }
  }

  function onKey(event) {
    if (event.ctrlKey || event.metaKey || event.altKey) return;
    // Letters typed into the search box are not shortcuts.
    if (event.target.closest?.("input")) return;
    if (event.target.closest?.("button") && (event.key === "Enter" || event.key === " ")) return;
    const folder = event.target.closest?.("[data-toggle]");
    if (folder && (event.key === "Enter" || event.key === " ")) {
      event.preventDefault();
      fold(folder.fold, !folder.fold.folded);
      return;
    }
    const step = trackWidth() / 5;
    const span = view.to - view.from;
    const actions = {
      "+": () => zoom(1.5), "=": () => zoom(1.5), "w": () => zoom(1.5),
      "-": () => zoom(1 / 1.5), "_": () => zoom(1 / 1.5), "s": () => zoom(1 / 1.5),
      "0": () => setView(start, end),
      "ArrowLeft": () => pan(-step), "a": () => pan(-step),
      "ArrowRight": () => pan(step), "d": () => pan(step),
      "Home": () => setView(start, start + span),
      "End": () => setView(end - span, end),
      "Escape": () => pin(null),
      "/": () => $("search").focus(),
      "n": () => stepMatch(1), "N": () => stepMatch(-1),
    };
    const action = actions[event.key];
    if (action) {
      event.preventDefault();
      action();
    }
  }

  // Dragging pans both ways; a press that does not move is a click.
  function onPointerDown(event) {
    if (event.button !== 0) return;
    const origin = { x: event.clientX, y: event.clientY, top: viewport.scrollTop, view };
    const target = event.target;
    let dragging = false;
    viewport.setPointerCapture?.(event.pointerId);
    const move = (moved) => {
      const dx = moved.clientX - origin.x;
      const dy = moved.clientY - origin.y;
      if (!dragging && Math.hypot(dx, dy) < 4) return;
      dragging = true;
      viewport.classList.add("dragging");
      const shift = (origin.view.to - origin.view.from) * dx / trackWidth();
      setView(origin.view.from - shift, origin.view.to - shift);
      viewport.scrollTop = origin.top - dy;
    };
    const up = () => {
      viewport.removeEventListener("pointermove", move);
      viewport.removeEventListener("pointerup", up);
      viewport.removeEventListener("pointercancel", up);
      viewport.classList.remove("dragging");
      if (dragging) return;
      const folder = target.closest("[data-toggle]");
      if (folder) fold(folder.fold, !folder.fold.folded);
      else pin(itemAt(origin.x, origin.y));
    };
    viewport.addEventListener("pointermove", move);
    viewport.addEventListener("pointerup", up);
    viewport.addEventListener("pointercancel", up);
  }

  // ---- folding ------------------------------------------------------------------

  // Folds or unfolds a lane (into one thin row of squeezed bars) or a host's
  // or process's group (its lanes hidden, its header kept).
  function fold(target, folded) {
    if (target.folded === folded) return;
    target.folded = folded;
    const head = target.section ? target.section.querySelector("[data-toggle]") : target.firstChild;
    head.setAttribute("aria-expanded", String(!folded));
    if (!target.section) target.classList.toggle("folded", folded);
    else {
      target.section.classList.toggle("folded", folded);
      target.track.style.height = `${folded ? FOLDED + 12 : target.height}px`;
    }
    paint();
  }

  // ---- search -------------------------------------------------------------------

  let lowered = null;  // the string table in lower case, made on the first search
  let matches = [];    // [lane, kind, index, time], in time order
  let current = -1;

  function search(query) {
    for (const lane of drawn) {
      lane.matched.bars.fill(0);
      lane.matched.records.fill(0);
    }
    matches = [];
    current = -1;
    const needle = query.trim().toLowerCase();
    if (needle) {
      lowered ??= text.map((entry) => entry.toLowerCase());
      const hit = Uint8Array.from(lowered, (entry) => entry.includes(needle));
      for (const lane of drawn) {
        const { bars, records, matched } = lane;
        const named = lane.kind === "span" && lane.name.toLowerCase().includes(needle);
        for (let i = 0; i < bars.count; i++) {
          if (named || hit[bars.args[i]] || (lane.kind === "scope" && (hit[bars.invoker[i]] || hit[bars.file[i]]))) {
            matched.bars[i] = 1;
            matches.push([lane, lane.kind, i, bars.enter[i]]);
          }
        }
        for (let i = 0; i < records.count; i++) {
          if (hit[records.args[i]] || hit[records.invoker[i]] || hit[records.file[i]]) {
            matched.records[i] = 1;
            matches.push([lane, "instant", i, records.time[i]]);
          }
        }
      }
      matches.sort((a, b) => a[3] - b[3]);
    }
    countMatches();
    paint();
  }

  function countMatches() {
    const shown = $("search-count");
    if (!$("search").value.trim()) shown.textContent = "";
    else if (!matches.length) shown.textContent = "no match";
    else shown.textContent = current < 0 ? plural(matches.length, "match") : `${current + 1} of ${matches.length}`;
  }

  // Unfolds what hides a lane and scrolls `depth` of it into the middle.
  function bringOut(lane, depth) {
    const owner = lane.owner ?? lane;
    for (const group of owner.groups) fold(group, false);
    fold(lane, false);
    if (owner.idle) {
      // An idle thread's row opens its shelf's idle group.
      const idleGroup = lane.section.closest(".idle-group");
      if (idleGroup) fold(idleGroup, false);
    }
    const box = lane.track.getBoundingClientRect();
    const frame = viewport.getBoundingClientRect();
    const y = box.top + depth * ROW + ROW / 2;
    viewport.scrollTop += y - (frame.top + frame.height / 2);
    paint();
  }

  // Moves to the next (+1) or previous (-1) match: unfolds what hides it,
  // zooms onto it, scrolls it into the middle and keeps its details.
  function stepMatch(direction) {
    if (!matches.length) return;
    current = current < 0
      ? (direction > 0 ? 0 : matches.length - 1)
      : (current + direction + matches.length) % matches.length;
    const [lane, kind, index] = matches[current];
    const rows = kind === "instant" ? lane.records : lane.bars;
    const from = rows === lane.records ? rows.time[index] : rows.enter[index];
    const to = rows === lane.records ? from : rows.exit[index];
    const span = view.to - view.from;
    // A bar too narrow to see, or not wholly in the view, fills two thirds of it.
    if (from < view.from || to > view.to || (to - from) < span / 200) {
      const wanted = to > from ? (to - from) * 1.5 : Math.min(span, 10);
      setView((from + to) / 2 - wanted / 2, (from + to) / 2 + wanted / 2);
    }
    bringOut(lane, rows.depth[index]);
    pin({ lane, kind, index, count: 1 });
    countMatches();
  }

  function onSearchKey(event) {
    if (event.key === "Enter") {
      event.preventDefault();
      stepMatch(event.shiftKey ? -1 : 1);
    } else if (event.key === "Escape") {
      event.preventDefault();
      $("search").value = "";
      search("");
      viewport.focus({ preventScroll: true });
    }
  }

  // ---- details ----------------------------------------------------------------

  function field(list, name, value) {
    const item = element("div");
    const term = element("dt");
    term.textContent = name;
    const description = element("dd");
    description.textContent = value;
    item.append(term, description);
    list.append(item);
  }

  function badges(message, raised, open) {
    const kinds = [[raised, "badge raised-badge", "raised"], [open, "badge", "never closed"]];
    for (const [shown, className, words] of kinds) {
      if (!shown) continue;
      const badge = element("span", className);
      badge.textContent = words;
      message.append(badge);
    }
  }

  const PLACEHOLDER = "Point at a bar or a mark to see its message, invoker, file, line and times.";

  // A block of bars or marks too close to tell apart: how many, from when
  // to when, how many raised or never closed.
  function showBlock(item, message, list) {
    const lane = item.lane;
    const instant = item.kind === "instant";
    const level = (instant ? lane.markLevels : lane.levels)[item.depth];
    let first = Infinity, last = -Infinity;
    const names = new Set();
    for (let k = item.first; k < item.first + item.count; k++) {
      first = Math.min(first, level.at[k]);
      last = Math.max(last, level.end[k]);
      if (names.size < 4) names.add(level.ink[k] < 0 ? lane.name : text[level.ink[k]]);
    }
    message.textContent = plural(item.count, instant ? "record" : lane.kind);
    const note = element("span", "hint-note");
    note.textContent = "too close to draw apart: zoom in";
    message.append(note);
    if (item.raised) field(list, "raised", grouped(item.raised));
    if (item.open) field(list, "never closed", grouped(item.open));
    field(list, instant ? "invokers" : "of", [...names].slice(0, 3).join(", ") + (names.size > 3 ? ", …" : ""));
    field(list, "from", formatMs(first));
    field(list, "to", formatMs(last));
    field(list, "depth", String(item.depth));
  }

  function show(item) {
    if (!item) {
      const placeholder = element("p", "placeholder");
      placeholder.textContent = PLACEHOLDER;
      details.replaceChildren(placeholder);
      return;
    }
    const lane = item.lane.owner ?? item.lane;
    const index = item.index;
    const message = element("p", "message");
    const list = element("dl");
    if (item.count > 1) {
      showBlock(item, message, list);
    } else if (item.kind === "span") {
      const task = item.lane;
      const [, begin, finish, args, open, raised, id, measured] = task.spans[index];
      message.textContent = text[args] || "(no message)";
      badges(message, raised >= 0, open);
      if (raised >= 0) field(list, "raised", text[raised]);
      field(list, "span", text[id]);
      field(list, "task", task.task ?? "(none)");
      field(list, "begin", timeText(begin, measured & 1));
      field(list, "end", open ? "—" : timeText(finish, measured & 2));
      field(list, "duration", open ? `at least ${formatDuration(finish - begin)}`
        : durationText(begin, finish, measured === 3));
    } else if (item.kind === "scope") {
      const s = lane.bars;
      const open = s.open[index];
      const raised = s.raised[index];
      message.textContent = text[s.args[index]] || "(no message)";
      badges(message, raised >= 0, open);
      if (raised >= 0) field(list, "raised", text[raised]);
      field(list, "invoker", text[s.invoker[index]]);
      field(list, "file", text[s.file[index]]);
      field(list, "line", String(s.line[index]));
      field(list, "enter", timeText(s.enter[index], s.measured[index] & 1));
      field(list, "exit", open ? "—" : timeText(s.exit[index], s.measured[index] & 2));
      field(list, "duration", open
        ? `at least ${formatDuration(Math.max(data.end - s.enter[index], 0))}`
        : durationText(s.enter[index], s.exit[index], s.measured[index] === 3));
      field(list, "depth", String(s.depth[index]));
    } else {
      const r = lane.records;
      const parent = r.parent[index];
      message.textContent = text[r.args[index]] || "(no message)";
      field(list, "invoker", text[r.invoker[index]]);
      field(list, "file", text[r.file[index]]);
      field(list, "line", String(r.line[index]));
      field(list, "time", timeText(r.time[index], r.measured[index]));
      if (parent >= 0) field(list, "in scope", text[lane.bars.label[parent]]);
    }
    field(list, "thread", `${lane.thread} on ${lane.host || "(no host name)"}`);
    if (lane.process) field(list, "process", lane.process);
    if (!lane.aligned) field(list, "times", `from its own process's start ${NOT_ALIGNED}`);
    if (item === pinned) {
      const note = element("span", "pinned");
      note.textContent = "kept · Esc releases";
      message.append(note);
    }
    details.replaceChildren(message, list);
  }

  function pin(item) {
    pinned = item;
    show(pinned);
    paint();
  }

  function onHover(event) {
    if (pinned || event.buttons) return;
    const item = itemAt(event.clientX, event.clientY);
    const key = item && `${item.lane.key} ${item.kind} ${item.depth} ${item.first} ${item.count}`;
    if (key !== onHover.last) show(item);
    onHover.last = key;
  }

  // ---- what tests and tools may read --------------------------------------------

  const laneOf = (key) => drawn.find((lane) => lane.key === key);
  const client = (item) => {
    const frame = paper.getBoundingClientRect();
    return { x: frame.left + (Math.max(item.x0, 0) + Math.min(Math.max(item.x1, item.x0 + 1), trackWidth())) / 2,
             y: frame.top + item.y + item.h / 2 };
  };
  const described = (lane, item) => ({
    lane: lane.key, kind: item.kind, depth: item.depth, count: item.count, raised: item.raised, open: item.open,
    matched: item.matched, left: item.x0, right: item.x1, ...client(item),
    args: item.count === 1 ? text[(item.kind === "instant" ? lane.records : lane.bars).args[item.index]] : null,
    fill: item.count === 1 && item.kind !== "instant" ? paletteFor(lane, lane.bars, item.index).fill : null,
  });
  // A read-only view of the page's state: the lanes in order, what the
  // last paint drew (blocks merge what is thinner than a pixel), and the
  // decoded rows of a lane.
  window.vornView = Object.freeze({
    view: () => ({ ...view }),
    width: () => trackWidth(),
    blocks: () => drawn.flatMap((lane) => lane.painted.map((item) => described(lane, item))),
    // The painted block holding the first bar (or mark) whose message is
    // `args`, brought into sight; null when its lane is idle or folded away.
    find(kind, args) {
      for (const lane of drawn) {
        const rows = kind === "instant" ? lane.records : lane.bars;
        if ((kind === "instant" ? "scope" : kind) !== lane.kind) continue;
        for (let i = 0; i < rows.count; i++) {
          if (text[rows.args[i]] !== args) continue;
          if (lane.track.offsetParent === null) return null;
          bringOut(lane, rows.depth[i]);
          const item = lane.painted.find((painted) => painted.kind === kind && (painted.count === 1
            ? painted.index === i : (kind === "instant" ? lane.markLevels : lane.levels)[painted.depth].order
              .subarray(painted.first, painted.first + painted.count).includes(i)));
          return item ? described(lane, item) : null;
        }
      }
      return null;
    },
    at: (x, y) => { const item = itemAt(x, y); return item && described(item.lane, item); },
    rows(key) {
      const lane = laneOf(key);
      const s = lane.bars;
      return {
        bars: Array.from({ length: s.count }, (_, i) => ({
          parent: s.parent[i], depth: s.depth[i], enter: s.enter[i], exit: s.exit[i], open: Boolean(s.open[i]),
          args: text[s.args[i]], invoker: s.invoker ? text[s.invoker[i]] : null,
          raised: s.raised[i] >= 0 ? text[s.raised[i]] : null })),
        records: Array.from({ length: lane.records.count }, (_, i) => ({
          parent: lane.records.parent[i], depth: lane.records.depth[i], time: lane.records.time[i],
          args: text[lane.records.args[i]], invoker: text[lane.records.invoker[i]] })),
      };
    },
  });

  // ---- start --------------------------------------------------------------------

  // "#t=1200,1500" opens the page on that range of milliseconds.
  function initialView() {
    const match = /^#t=(-?[\d.]+),(-?[\d.]+)$/.exec(location.hash);
    if (!match || !(+match[2] > +match[1])) return false;
    setView(+match[1], +match[2]);
    return true;
  }

  try {
    build();
    if (!initialView()) draw();
    viewport.addEventListener("wheel", onWheel, { passive: false });
    viewport.addEventListener("pointerdown", onPointerDown);
    viewport.addEventListener("pointermove", onHover);
    viewport.addEventListener("scroll", paintSoon);
    window.addEventListener("keydown", onKey);
    window.addEventListener("resize", () => { widthCache = 0; draw(); });
    $("zoom-in").addEventListener("click", () => zoom(1.5));
    $("zoom-out").addEventListener("click", () => zoom(1 / 1.5));
    $("zoom-fit").addEventListener("click", () => setView(start, end));
    $("search").addEventListener("input", (event) => search(event.target.value));
    $("search").addEventListener("keydown", onSearchKey);
    $("search-next").addEventListener("click", () => stepMatch(1));
    $("search-prev").addEventListener("click", () => stepMatch(-1));
    viewport.focus({ preventScroll: true });
    root.dataset.state = "ready";
    performance.mark("vorn-drawn");
  } catch (error) {
    root.dataset.state = "failed";
    const message = element("p", "empty");
    message.textContent = `This trace could not be drawn: ${error}`;
    $("lanes").replaceChildren(message);
    throw error;
  }
})();
