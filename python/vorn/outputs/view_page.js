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
// Each lane is an SVG whose x axis is time: bars are placed once, in
// milliseconds, and zoom and pan only change the lanes' viewBox, so the
// browser redraws thousands of bars without laying any of them out again.
// Strokes and marks keep their pixel size whatever the zoom. Labels are HTML
// laid over the bars that are wide enough to hold one, rebuilt per view.
(() => {
  const root = document.documentElement;
  const $ = (id) => document.getElementById(id);
  const SVG = "http://www.w3.org/2000/svg";
  const element = (tag, className) => {
    const node = document.createElement(tag);
    if (className) node.className = className;
    return node;
  };
  const shape = (tag, attributes) => {
    const node = document.createElementNS(SVG, tag);
    for (const [name, value] of Object.entries(attributes)) node.setAttribute(name, value);
    return node;
  };

  const ROW = 26;         // px per nesting level
  const BAR_TOP = 3;      // bar inside its row
  const BAR_HEIGHT = 17;
  // Log marks hang just under their scope's bar, overlapping its lower edge:
  // thick and tall enough to be hit without aiming at a pixel.
  const MARK_TOP = 19;
  const MARK_BOTTOM = 24;
  const FOLDED = 8;       // px of a folded lane's squeezed bars
  const MIN_LABEL = 36;   // px a bar needs before it gets a label
  // SVG geometry is single precision. Coordinates are kept relative to a base
  // time near the view, moved when the view's offset from it grows past this
  // many pixels, so a deep zoom into a long trace still lands on the pixel.
  const REBASE_PX = 1e6;

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

  let view = { from: start, to: end };
  let base = start;
  let pinned = null;  // the element whose details stay shown

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
  const paletteFor = (kind, row, lane) =>
    kind.raised(row) !== null ? RAISED : kind.open(row) ? UNCLOSED : kind.ink(row, lane);

  // [raised, never closed] among `rows` of this kind.
  const outcomes = (kind, rows) => rows.reduce(
    ([raised, open], row) => [raised + (kind.raised(row) !== null), open + Boolean(kind.open(row))], [0, 0]);

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
    counts.textContent = `${plural(lane.scopes.length, "scope")} · ${plural(lane.instants.length, "record")}`;
    head.append(counts);
    outcomeNotes(head, outcomes(SCOPE_BARS, lane.scopes), "never closed");
    const [scopesOut, recordsOut] = lane.outside;
    if (scopesOut || recordsOut) {
      const note = element("small", "outside-note");
      note.textContent = `${scopesOut + recordsOut} outside the range`;
      head.append(note);
    }
    return head;
  }

  function taskHead(task) {
    const head = toggle(element("div"), "lane-label", task);
    const name = element("b");
    name.textContent = task.name;
    const counts = element("small");
    counts.textContent = plural(task.spans.length, "span");
    head.append(name, counts);
    outcomeNotes(head, outcomes(SPAN_BARS, task.spans), "never ended");
    return head;
  }

  // A scope's bar ends at its exit, or runs on to the end of the timeline when
  // it never closed; an exit before the enter (a clock set back) draws as an
  // instant.
  const exitOf = (row) => (row[3] === null ? end : Math.max(row[3], row[2]));
  // A rect of width zero is not drawn at all; this thin it is its outline.
  const ZERO_WIDTH = 1e-6;

  // What the drawing needs of a bar, for scopes and spans alike.
  const SCOPE_BARS = {
    rows: (lane) => lane.scopes, enter: (row) => row[2], exit: exitOf, depth: (row) => row[1],
    open: (row) => row[3] === null, ink: (row) => paletteOf(text[row[4]]),
    label: (row) => text[row[7]] || text[row[4]], raised: (row) => (row[9] >= 0 ? text[row[9]] : null),
  };
  const SPAN_BARS = {
    rows: (task) => task.spans, enter: (row) => row[1], exit: (row) => row[2], depth: (row) => row[0],
    open: (row) => row[4], ink: (row, task) => task.palette, label: (row) => text[row[3]],
    raised: (row) => (row[5] >= 0 ? text[row[5]] : null),
  };

  function laneSection(lane, head, kind) {
    const section = element("section", "lane");
    lane.kind = kind;
    lane.section = section;
    lane.folded = false;
    lane.height = Math.max(lane.depth, 1) * ROW + 4;
    const track = element("div", "track");
    track.style.height = `${lane.height}px`;
    lane.track = track;
    lane.svg = shape("svg", { preserveAspectRatio: "none", height: lane.height, "aria-hidden": "true" });
    lane.labels = element("div", "labels");
    track.append(lane.svg, lane.labels);
    section.append(laneSide(head), track);
    lane.bars = kind.rows(lane).map((row, index) => {
      const palette = paletteFor(kind, row, lane);
      const bar = shape("rect", {
        y: kind.depth(row) * ROW + BAR_TOP, height: BAR_HEIGHT,
        width: Math.max(kind.exit(row) - kind.enter(row), ZERO_WIDTH), fill: palette.fill, stroke: palette.stroke,
      });
      bar.dataset.index = index;
      bar.dataset.depth = kind.depth(row);
      if (kind.open(row)) bar.dataset.open = "true";
      if (kind.raised(row) !== null) bar.dataset.raised = "true";
      lane.svg.append(bar);
      return bar;
    });
    // The marks on the edges of the bars that raised or never closed.
    lane.edges = kind.rows(lane).flatMap((row, index) => {
      const raised = kind.raised(row) !== null;
      if (!raised && !kind.open(row)) return [];
      const top = kind.depth(row) * ROW + BAR_TOP;
      const edge = shape("line", {
        class: raised ? "edge raised-edge" : "edge open-edge", y1: top + 2, y2: top + BAR_HEIGHT - 2,
        stroke: (raised ? RAISED : UNCLOSED).mark,
      });
      lane.svg.append(edge);
      return [[edge, index, raised ? kind.exit : kind.enter]];
    });
    // Never closed: the bar fades out towards its end.
    lane.fades = kind.rows(lane).flatMap((row, index) => {
      if (!kind.open(row)) return [];
      const fade = shape("rect", {
        class: "fade", y: kind.depth(row) * ROW + BAR_TOP, height: BAR_HEIGHT,
        width: Math.max(kind.exit(row) - kind.enter(row), ZERO_WIDTH),
      });
      lane.svg.append(fade);
      return [[fade, index]];
    });
    drawn.push(lane);
    return section;
  }

  function buildLane(lane, laneIndex) {
    const section = laneSection(lane, threadHead(lane), SCOPE_BARS);
    section.dataset.lane = laneIndex;
    section.dataset.host = lane.host;
    section.dataset.thread = lane.thread;
    lane.scopes.forEach((row, index) => {
      const bar = lane.bars[index];
      bar.dataset.kind = "scope";
      bar.dataset.parent = row[0];
      bar.dataset.invoker = text[row[4]];
      bar.dataset.args = text[row[7]];
    });
    lane.marks = lane.instants.map((row, index) => {
      const [parent, , invoker, , , args] = row;
      const depth = parent < 0 ? 0 : lane.scopes[parent][1];
      const mark = shape("line", {
        y1: depth * ROW + MARK_TOP, y2: depth * ROW + MARK_BOTTOM, stroke: paletteOf(text[invoker]).mark,
      });
      mark.dataset.kind = "instant";
      mark.dataset.index = index;
      mark.dataset.parent = parent;
      mark.dataset.depth = depth;
      mark.dataset.invoker = text[invoker];
      mark.dataset.args = text[args];
      lane.svg.append(mark);
      return mark;
    });
    const sections = [section];
    lane.tasks.forEach((task, taskIndex) => {
      // Spans begun outside any task share the lane "spans".
      task.name = task.task === null ? "spans" : `task ${task.task}`;
      task.owner = lane;
      task.palette = paletteOf(`\u0000${task.name}`);
      task.instants = [];
      task.marks = [];
      const taskSection = laneSection(task, taskHead(task), SPAN_BARS);
      taskSection.classList.add("task-lane");
      taskSection.dataset.lane = laneIndex;
      taskSection.dataset.task = taskIndex;
      taskSection.dataset.host = lane.host;
      taskSection.dataset.thread = lane.thread;
      task.spans.forEach((row, index) => {
        const bar = task.bars[index];
        bar.dataset.kind = "span";
        bar.dataset.args = text[row[3]];
      });
      sections.push(taskSection);
    });
    return sections;
  }

  // Coordinates relative to `base`, see REBASE_PX.
  function rebase(time) {
    base = time;
    for (const lane of drawn) {
      const rows = lane.kind.rows(lane);
      const enter = lane.kind.enter;
      rows.forEach((row, index) => lane.bars[index].setAttribute("x", enter(row) - base));
      for (const [fade, index] of lane.fades) fade.setAttribute("x", enter(rows[index]) - base);
      for (const [edge, index, at] of lane.edges) {
        edge.setAttribute("x1", at(rows[index]) - base);
        edge.setAttribute("x2", at(rows[index]) - base);
      }
      lane.instants.forEach((row, index) => {
        lane.marks[index].setAttribute("x1", row[1] - base);
        lane.marks[index].setAttribute("x2", row[1] - base);
      });
    }
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
        for (const lane of process.lanes) {
          lane.groups = [hostGroup, processGroup];
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
          target.items.push({ lane, nodes: buildLane(lane, laneIndex++), always: lane.main });
        }
      }
    }
    if (lanes.length === 0) {
      const empty = element("p", "empty");
      empty.textContent = "No trace files were given.";
      container.append(empty);
    }
    rebase(start);
    const count = (key) => lanes.reduce((sum, lane) => sum + lane[key].length, 0);
    const allSpans = lanes.flatMap((lane) => lane.tasks.flatMap((task) => task.spans));
    const spans = allSpans.length;
    const scopeOutcomes = outcomes(SCOPE_BARS, lanes.flatMap((lane) => lane.scopes));
    const spanOutcomes = outcomes(SPAN_BARS, allSpans);
    const outside = (i) => lanes.reduce((sum, lane) => sum + lane.outside[i], 0);
    const range = data.range
      ? [`showing ${decimals(data.range[0])} – ${decimals(data.range[1])} ms`,
         `outside it: ${plural(outside(0), "scope")}, ${plural(outside(1), "record")}`]
      : [`${decimals(data.start)} – ${decimals(data.end)} ms`];
    $("summary").textContent = [
      `${plural(lanes.length, "thread")} on ${plural(data.hosts.length, "host")}`,
      `${plural(count("scopes"), "scope")}${outcomeText(scopeOutcomes)}`,
      plural(count("instants"), "record"),
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
    const sum = (counts) => counts.reduce(([r, o], [raised, open]) => [r + raised, o + open], [0, 0]);
    outcomeNotes(header, sum(members.flatMap((lane) => [outcomes(SCOPE_BARS, lane.scopes),
      ...lane.tasks.map((task) => outcomes(SPAN_BARS, task.spans))])), "never closed");
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

  // ---- drawing the current view ---------------------------------------------

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

  // Labels for the bars wide enough in this view, kept inside the visible
  // part of the bar so that a long bar's label stays in sight.
  function drawLabels(lane, width, scale) {
    const labels = [];
    const kind = lane.kind;
    if (!lane.folded) kind.rows(lane).forEach((row) => {
      const left = Math.max((kind.enter(row) - view.from) * scale, 0);
      const right = Math.min((kind.exit(row) - view.from) * scale, width);
      if (right - left < MIN_LABEL) return;
      const label = element("div");
      label.style.left = `${left + 5}px`;
      label.style.top = `${kind.depth(row) * ROW + BAR_TOP}px`;
      label.style.width = `${right - left - 9}px`;
      label.style.color = paletteFor(kind, row, lane).ink;
      label.textContent = kind.raised(row) === null ? kind.label(row) : `\u2715 ${kind.label(row)}`;
      labels.push(label);
    });
    lane.labels.replaceChildren(...labels);
  }

  function draw() {
    const width = trackWidth();
    const scale = width / (view.to - view.from);  // px per ms
    if (Math.abs(view.from - base) * scale > REBASE_PX) rebase(view.from);
    const box = `${view.from - base} 0 ${view.to - view.from}`;
    settle();
    for (const lane of drawn) {
      // A folded lane keeps its whole height in the box: its bars squeeze.
      lane.svg.setAttribute("viewBox", `${box} ${lane.height}`);
      // An idle lane has no bar in view to label.
      if (!(lane.owner ?? lane).idle) drawLabels(lane, width, scale);
      else if (lane.labels.firstChild) lane.labels.replaceChildren();
    }
    drawTicks(width, scale);
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
      "n": () => step(1), "N": () => step(-1),
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
    viewport.setPointerCapture(event.pointerId);
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
      else pin(target.closest("[data-kind]"));
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
    if (!target.section) {
      target.classList.toggle("folded", folded);
      return;
    }
    target.section.classList.toggle("folded", folded);
    const height = folded ? FOLDED : target.height;
    target.svg.setAttribute("height", height);
    target.track.style.height = `${folded ? FOLDED + 12 : height}px`;
    drawLabels(target, trackWidth(), trackWidth() / (view.to - view.from));
  }

  // ---- search -------------------------------------------------------------------

  let lowered = null;  // the string table in lower case, made on the first search
  let matches = [];    // [lane, kind, index, time], in time order
  let current = -1;

  function search(query) {
    for (const [lane, kind, index] of matches) nodeOf(lane, kind, index).classList.remove("match");
    matches = [];
    current = -1;
    const needle = query.trim().toLowerCase();
    if (needle) {
      lowered ??= text.map((entry) => entry.toLowerCase());
      const hit = lowered.map((entry) => entry.includes(needle));
      for (const lane of drawn) {
        if (lane.kind === SPAN_BARS) {
          const named = lane.name.toLowerCase().includes(needle);
          lane.spans.forEach((row, index) => {
            if (named || hit[row[3]]) matches.push([lane, "span", index, row[1]]);
          });
          continue;
        }
        lane.scopes.forEach((row, index) => {
          if (hit[row[7]] || hit[row[4]] || hit[row[5]]) matches.push([lane, "scope", index, row[2]]);
        });
        lane.instants.forEach((row, index) => {
          if (hit[row[5]] || hit[row[2]] || hit[row[3]]) matches.push([lane, "instant", index, row[1]]);
        });
      }
      matches.sort((a, b) => a[3] - b[3]);
      for (const [lane, kind, index] of matches) nodeOf(lane, kind, index).classList.add("match");
    }
    countMatches();
  }

  const nodeOf = (lane, kind, index) => (kind === "instant" ? lane.marks : lane.bars)[index];

  function countMatches() {
    const shown = $("search-count");
    if (!$("search").value.trim()) shown.textContent = "";
    else if (!matches.length) shown.textContent = "no match";
    else shown.textContent = current < 0 ? plural(matches.length, "match") : `${current + 1} of ${matches.length}`;
  }

  // Moves to the next (+1) or previous (-1) match: unfolds what hides it,
  // zooms onto it, scrolls it into the middle and keeps its details.
  function step(direction) {
    if (!matches.length) return;
    current = current < 0
      ? (direction > 0 ? 0 : matches.length - 1)
      : (current + direction + matches.length) % matches.length;
    const [lane, kind, index] = matches[current];
    const owner = lane.owner ?? lane;
    for (const group of owner.groups) fold(group, false);
    fold(lane, false);
    let from, to;
    if (kind === "instant") {
      from = to = lane.instants[index][1];
    } else {
      const row = lane.kind.rows(lane)[index];
      from = lane.kind.enter(row);
      to = lane.kind.exit(row);
    }
    const span = view.to - view.from;
    // A bar too narrow to see, or not wholly in the view, fills two thirds of it.
    if (from < view.from || to > view.to || (to - from) < span / 200) {
      const wanted = to > from ? (to - from) * 1.5 : Math.min(span, 10);
      setView((from + to) / 2 - wanted / 2, (from + to) / 2 + wanted / 2);
    }
    const node = nodeOf(lane, kind, index);
    const box = node.getBoundingClientRect();
    const frame = viewport.getBoundingClientRect();
    viewport.scrollTop += box.top + box.height / 2 - (frame.top + frame.height / 2);
    pin(node);
    countMatches();
  }

  function onSearchKey(event) {
    if (event.key === "Enter") {
      event.preventDefault();
      step(event.shiftKey ? -1 : 1);
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

  function show(node) {
    if (!node) {
      const placeholder = element("p", "placeholder");
      placeholder.textContent = "Point at a bar or a mark to see its message, invoker, file, line and times.";
      details.replaceChildren(placeholder);
      return;
    }
    const section = node.closest("[data-lane]");
    const lane = lanes[+section.dataset.lane];
    const index = +node.dataset.index;
    const message = element("p", "message");
    const list = element("dl");
    if (node.dataset.kind === "span") {
      const task = lane.tasks[+section.dataset.task];
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
    } else if (node.dataset.kind === "scope") {
      const [, depth, enter, exit, invoker, file, line, args, measured, raised] = lane.scopes[index];
      message.textContent = text[args] || "(no message)";
      badges(message, raised >= 0, exit === null);
      if (raised >= 0) field(list, "raised", text[raised]);
      field(list, "invoker", text[invoker]);
      field(list, "file", text[file]);
      field(list, "line", String(line));
      field(list, "enter", timeText(enter, measured & 1));
      field(list, "exit", exit === null ? "—" : timeText(exit, measured & 2));
      field(list, "duration", exit === null
        ? `at least ${formatDuration(Math.max(data.end - enter, 0))}`
        : durationText(enter, exit, measured === 3));
      field(list, "depth", String(depth));
    } else {
      const [parent, ts, invoker, file, line, args, measured] = lane.instants[index];
      message.textContent = text[args] || "(no message)";
      field(list, "invoker", text[invoker]);
      field(list, "file", text[file]);
      field(list, "line", String(line));
      field(list, "time", timeText(ts, measured));
      if (parent >= 0) field(list, "in scope", text[lane.scopes[parent][7]] || text[lane.scopes[parent][4]]);
    }
    field(list, "thread", `${lane.thread} on ${lane.host || "(no host name)"}`);
    if (lane.process) field(list, "process", lane.process);
    if (!lane.aligned) field(list, "times", `from its own process's start ${NOT_ALIGNED}`);
    if (node === pinned) {
      const note = element("span", "pinned");
      note.textContent = "kept · Esc releases";
      message.append(note);
    }
    details.replaceChildren(message, list);
  }

  function pin(node) {
    if (pinned) pinned.classList.remove("selected");
    pinned = node;
    if (pinned) pinned.classList.add("selected");
    show(pinned);
  }

  function onHover(event) {
    const node = event.target.closest("[data-kind]");
    if (node && !pinned) show(node);
  }

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
    viewport.addEventListener("mouseover", onHover);
    window.addEventListener("keydown", onKey);
    window.addEventListener("resize", () => { widthCache = 0; draw(); });
    $("zoom-in").addEventListener("click", () => zoom(1.5));
    $("zoom-out").addEventListener("click", () => zoom(1 / 1.5));
    $("zoom-fit").addEventListener("click", () => setView(start, end));
    $("search").addEventListener("input", (event) => search(event.target.value));
    $("search").addEventListener("keydown", onSearchKey);
    $("search-next").addEventListener("click", () => step(1));
    $("search-prev").addEventListener("click", () => step(-1));
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
