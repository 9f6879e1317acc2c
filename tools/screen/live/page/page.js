/* SPDX-License-Identifier: MIT */
// zodm-screen's live page. It reads the emulator's event stream (/events)
// and shows the heat map of refresh counts, each refresh as it arrives, the
// last requests and the totals; with the e-paper model, the panel as it
// shows it, a timeline of its updates and what they cost. It only reads:
// its only requests are GETs of /events and /viewers. Received texts are
// only ever set as text (textContent), never parsed as markup.
'use strict';

(() => {
  // The display area, which page.html and page.css draw at this size too
  // (the stream does not repeat it).
  const W = 769;
  const H = 1025;
  const LIST_LENGTH = 50;
  const FLASH_MS = 700;
  const MAX_FLASHES = 64;
  const RATE_WINDOW_MS = 2000;

  const $ = (id) => document.getElementById(id);
  const heat = $('heat').getContext('2d');
  const overlay = $('flash').getContext('2d');
  const image = heat.createImageData(W, H);
  const pixels = new Uint32Array(image.data.buffer);
  const littleEndian = new Uint8Array(new Uint32Array([1]).buffer)[0] === 1;
  const rowBuffer = new Uint16Array(W);

  // The emulator sends its colour scale when a stream starts; this is the
  // same until then.
  let scale = [
    [1, 237 / 255, 160 / 255],
    [254 / 255, 178 / 255, 76 / 255],
    [240 / 255, 59 / 255, 32 / 255],
    [128 / 255, 0, 38 / 255],
  ];
  const counts = new Uint16Array(W * H);
  let max = -1;
  let lut = new Uint32Array(1);
  let flashes = [];
  let animating = false;
  let samples = [];
  let captionText = '';

  // --- Colours, computed as the emulator's picture computes them.
  function scaleAt(t) {
    t = Math.min(Math.max(t, 0), 1) * (scale.length - 1);
    const stop = Math.min(Math.floor(t), scale.length - 2);
    const f = t - stop;
    const a = scale[stop];
    const b = scale[stop + 1];
    return [0, 1, 2].map((i) => a[i] + (b[i] - a[i]) * f);
  }

  function position(count, most) {
    return most <= 1 ? 0 : Math.log(count) / Math.log(most);
  }

  function heatColour(count, most) {
    if (count === 0) return [1, 1, 1];
    return scaleAt(position(count, Math.max(most, count)));
  }

  function byte(v) {
    return Math.round(Math.min(Math.max(v, 0), 1) * 255);
  }

  function packed(rgb) {
    const [r, g, b] = rgb.map(byte);
    return littleEndian
      ? ((255 << 24) | (b << 16) | (g << 8) | r) >>> 0
      : ((r << 24) | (g << 16) | (b << 8) | 255) >>> 0;
  }

  function css(rgb) {
    const [r, g, b] = rgb.map(byte);
    return `rgb(${r}, ${g}, ${b})`;
  }

  // --- The heat map.
  function buildColours() {
    lut = new Uint32Array(Math.max(max, 0) + 1);
    for (let count = 0; count < lut.length; ++count)
      lut[count] = packed(heatColour(count, max));
    drawScale();
  }

  function paint(y0, y1) {
    const top = lut.length - 1;
    for (let i = y0 * W, end = (y1 + 1) * W; i < end; ++i)
      pixels[i] = lut[Math.min(counts[i], top)];
    heat.putImageData(image, 0, 0, 0, y0, W, y1 - y0 + 1);
  }

  // Fills row from the runs (value, length, value, length...) that follow
  // an entry's first and last row; false when they do not make a whole row.
  function readRuns(entry, row) {
    let x = 0;
    for (let i = 2; i + 1 < entry.length && x < W; i += 2) {
      const end = Math.min(x + entry[i + 1], W);
      row.fill(entry[i], x, end);
      x = end;
    }
    return x === W;
  }

  // Each entry is [first row, last row, the row as read(entry) decodes it
  // into row]; copies the row into target at each row it names, and
  // returns the rows changed.
  function applyEntries(rows, read, row, target) {
    let y0 = H;
    let y1 = -1;
    for (const entry of rows) {
      const first = entry[0];
      const last = entry[1];
      if (!(first >= 0 && last >= first && last < H)) continue;
      if (!read(entry)) continue;
      for (let y = first; y <= last; ++y) target.set(row, y * W);
      y0 = Math.min(y0, first);
      y1 = Math.max(y1, last);
    }
    return [y0, y1];
  }

  // Each entry is [first row, last row, count, length, count, length...]:
  // the rows' counts as they are now.
  function applyRows(rows) {
    return applyEntries(rows, (entry) => readRuns(entry, rowBuffer), rowBuffer,
                        counts);
  }

  // The ticks of the colour scale, as the picture has them.
  function ticks(most) {
    const out = [];
    if (most <= 6) {
      for (let c = 1; c <= most; ++c) out.push(c);
      return out;
    }
    for (let decade = 1; decade < most; decade *= 10)
      for (const step of [1, 2, 5])
        if (decade * step < Math.floor((most * 4) / 5)) out.push(decade * step);
    out.push(most);
    return out;
  }

  function drawScale() {
    const bar = $('scale');
    const context = bar.getContext('2d');
    for (let row = 0; row < bar.height; ++row) {
      context.fillStyle = css(scaleAt(1 - row / (bar.height - 1)));
      context.fillRect(0, row, bar.width, 1);
    }
    const box = $('ticks');
    const most = Math.max(max, 1);
    const labels = ticks(most).map((tick) => {
      const label = document.createElement('span');
      label.textContent = String(tick);
      const top = 1 + (1 - position(tick, most)) * (bar.height - 1);
      label.style.top = `${top}px`;
      return label;
    });
    box.replaceChildren(...labels);
  }

  // --- Flashes: each refresh where it lands, fading.
  function addFlashes(events) {
    const now = performance.now();
    for (const event of events.slice(-MAX_FLASHES)) {
      if (event.k === 'p' && Array.isArray(event.r) && event.r.length === 4)
        flashes.push({ kind: 'p', rect: event.r, n: event.n, start: now });
      else if (event.k === 'f' || event.k === 'e')
        flashes.push({ kind: event.k, n: event.n, start: now });
    }
    flashes = flashes.slice(-MAX_FLASHES);
    if (!animating && flashes.length > 0) {
      animating = true;
      requestAnimationFrame(drawFlashes);
    }
  }

  function label(text, alpha, light) {
    overlay.font = 'bold 44px "DejaVu Sans", sans-serif';
    overlay.textAlign = 'center';
    overlay.fillStyle = light
      ? `rgba(255, 255, 255, ${alpha})`
      : `rgba(20, 20, 20, ${alpha})`;
    overlay.fillText(text, W / 2, H / 2);
  }

  function drawFlashes(now) {
    overlay.clearRect(0, 0, W, H);
    flashes = flashes.filter((f) => now - f.start < FLASH_MS);
    for (const f of flashes) {
      const alpha = Math.max(0, 1 - (now - f.start) / FLASH_MS);
      if (f.kind === 'p') {
        const [x0, y0, x1, y1] = f.rect;
        overlay.fillStyle = `rgba(0, 89, 255, ${0.35 * alpha})`;
        overlay.fillRect(x0, y0, x1 - x0 + 1, y1 - y0 + 1);
        overlay.strokeStyle = `rgba(0, 89, 255, ${alpha})`;
        overlay.lineWidth = 3;
        overlay.setLineDash([]);
        overlay.strokeRect(x0 + 1.5, y0 + 1.5, x1 - x0 - 2, y1 - y0 - 2);
      } else if (f.kind === 'f') {
        overlay.fillStyle = `rgba(32, 32, 32, ${0.8 * alpha})`;
        overlay.fillRect(0, 0, W, H);
        label(`full update #${f.n}`, alpha, true);
      } else {
        overlay.fillStyle = `rgba(255, 255, 255, ${0.9 * alpha})`;
        overlay.fillRect(0, 0, W, H);
        overlay.strokeStyle = `rgba(20, 20, 20, ${alpha})`;
        overlay.lineWidth = 6;
        overlay.setLineDash([18, 12]);
        overlay.strokeRect(3, 3, W - 6, H - 6);
        label(`erase #${f.n}`, alpha, false);
      }
    }
    if (flashes.length > 0) {
      requestAnimationFrame(drawFlashes);
    } else {
      animating = false;
    }
  }

  // --- The panel: what the reader sees (the framebuffer's pixels as the
  // refreshes copied them), and over it, where the framebuffer differs, what
  // was drawn but not refreshed (stale), tinted.
  const panelContext = $('panel').getContext('2d');
  const staleContext = $('stale').getContext('2d');
  const panelImage = panelContext.createImageData(W, H);
  const staleImage = staleContext.createImageData(W, H);
  const panelPixels = new Uint32Array(panelImage.data.buffer);
  const stalePixels = new Uint32Array(staleImage.data.buffer);
  // The panel as a refresh copies it at once, which the stale overlay
  // compares with what was drawn, and as the e-paper model shows it, which
  // the view shows when the emulator sends it.
  const shown = new Uint8Array(W * H).fill(255);
  const drawn = new Uint8Array(W * H).fill(255);
  const epaper = new Uint8Array(W * H).fill(255);
  let showEpaper = false;
  const staleInRow = new Uint32Array(H);
  const grayRow = new Uint8Array(W);
  const grayColours = new Uint32Array(256);
  const staleColours = new Uint32Array(256);
  for (let g = 0; g < 256; ++g) {
    grayColours[g] = packed([g / 255, g / 255, g / 255]);
    // Over a stale pixel, what was drawn there, in purple.
    const tint = packed([(g + 255) / 510, g / 510, (g + 255) / 510]);
    staleColours[g] = littleEndian
      ? ((tint & 0x00ffffff) | (230 << 24)) >>> 0
      : ((tint & 0xffffff00) | 230) >>> 0;
  }

  // A row as the emulator sends it, runs (level, length, ...) or its bytes
  // in base64, into grayRow; false when it is not a whole row.
  function readGrayRow(entry) {
    if (typeof entry[2] === 'string') {
      let bytes;
      try {
        bytes = atob(entry[2]);
      } catch (error) {
        return false;
      }
      if (bytes.length !== W) return false;
      for (let x = 0; x < W; ++x) grayRow[x] = bytes.charCodeAt(x);
      return true;
    }
    return readRuns(entry, grayRow);
  }

  // Each entry is [first row, last row, row]; returns the rows changed.
  function applyGrayRows(rows, target) {
    return applyEntries(rows, readGrayRow, grayRow, target);
  }

  function paintPanel(y0, y1) {
    for (let y = y0; y <= y1; ++y) {
      let stale = 0;
      const view = showEpaper ? epaper : shown;
      for (let i = y * W, end = i + W; i < end; ++i) {
        panelPixels[i] = grayColours[view[i]];
        if (drawn[i] !== shown[i]) {
          stalePixels[i] = staleColours[drawn[i]];
          ++stale;
        } else {
          stalePixels[i] = 0;
        }
      }
      staleInRow[y] = stale;
    }
    panelContext.putImageData(panelImage, 0, 0, 0, y0, W, y1 - y0 + 1);
    staleContext.putImageData(staleImage, 0, 0, 0, y0, W, y1 - y0 + 1);
  }

  function showStaleCount() {
    let total = 0;
    let top = -1;
    let bottom = -1;
    for (let y = 0; y < H; ++y) {
      if (staleInRow[y] === 0) continue;
      total += staleInRow[y];
      if (top < 0) top = y;
      bottom = y;
    }
    $('staleCount').textContent =
      total === 0
        ? 'no pixel is stale'
        : `${total} pixels stale, in rows ${top} to ${bottom}`;
    document.documentElement.dataset.stale = String(total);
  }

  // A stream's first message says whether there is a panel at all.
  function resetPanel(message) {
    const present = Array.isArray(message.panel);
    $('panelStage').hidden = !present;
    $('panelNotes').hidden = !present;
    document.querySelector('main').classList.toggle('with-panel', present);
    showEpaper = present && Array.isArray(message.model);
    $('modelNote').hidden = !showEpaper;
    shown.fill(255);
    drawn.fill(255);
    epaper.fill(255);
    paintPanel(0, H - 1);
  }

  function applyPanel(message) {
    if (!Array.isArray(message.panel) || !Array.isArray(message.drawn))
      return;
    const [a0, a1] = applyGrayRows(message.panel, shown);
    const [b0, b1] = applyGrayRows(message.drawn, drawn);
    const [c0, c1] = applyGrayRows(message.model || [], epaper);
    const y0 = Math.min(a0, b0, c0);
    const y1 = Math.max(a1, b1, c1);
    if (y1 < y0) return;
    paintPanel(y0, y1);
    showStaleCount();
  }

  $('showStale').addEventListener('change', (e) => {
    $('panelStage').classList.toggle('no-stale', !e.target.checked);
  });

  // --- The e-paper model: its updates as the emulator sends them (times in
  // microseconds of the model, -1 where not yet known), on a timeline of
  // the last TIMELINE_MS, and a flash as its region inverted on the panel
  // view. The model's time is mapped to the page's through the model's
  // "now" of each message: the smallest difference seen is the closest to
  // the truth, since a message only ever arrives late.
  const TIMELINE_MS = 5000;
  const LANES = 10;
  const TIMELINE_HEIGHT = 130;  // CSS pixels, as the style has it
  const PALETTE = ['#e6550d', '#3182bd', '#31a354', '#17becf', '#756bb1',
                   '#c5a800', '#8c564b', '#d62728'];
  const timeline = $('timeline').getContext('2d');
  const invert = $('invert').getContext('2d');
  const updates = new Map();
  const laneOwners = new Array(LANES).fill(0);
  const hatches = [];
  let waveformNames = [];
  let offset = null;  // page ms minus model ms, the model's taken at rate
  let rate = 1;  // model time per page time: a paced replay's speed
  let ticking = false;

  function modelNow() {
    return (performance.now() - offset) * 1000 * rate;
  }

  function colour(waveform) {
    return PALETTE[waveform % PALETTE.length];
  }

  // Waiting: the waveform's colour in stripes.
  function hatch(waveform) {
    if (!hatches[waveform]) {
      const tile = document.createElement('canvas');
      tile.width = tile.height = 6;
      const c = tile.getContext('2d');
      c.strokeStyle = colour(waveform);
      c.lineWidth = 2;
      c.beginPath();
      c.moveTo(-1, 7);
      c.lineTo(7, -1);
      c.stroke();
      hatches[waveform] = timeline.createPattern(tile, 'repeat');
    }
    return hatches[waveform];
  }

  // A new update takes the lowest lane whose last update ended by its
  // arrival, and keeps it.
  function takeLane(update) {
    for (let lane = 0; lane < LANES; ++lane) {
      const owner = updates.get(laneOwners[lane]);
      if (!owner || owner.merged || (owner.end >= 0 &&
                                     owner.end <= update.arrival)) {
        laneOwners[lane] = update.id;
        return lane;
      }
    }
    return update.id % LANES;
  }

  function resetModel(message) {
    const present = typeof message.now === 'number';
    $('modelNotes').hidden = !present;
    updates.clear();
    laneOwners.fill(0);
    offset = null;
    waveformNames = Array.isArray(message.waveforms) ? message.waveforms : [];
    $('waveforms').replaceChildren(
      ...waveformNames.map((name, i) => {
        const item = document.createElement('li');
        const swatch = document.createElement('span');
        swatch.className = 'swatch';
        swatch.style.background = colour(i);
        item.append(swatch, ` ${String(name)}`);
        return item;
      }),
      ...[['waiting', 'waiting'], ['flashing', 'flash']].map(([kind, text]) => {
        const item = document.createElement('li');
        const swatch = document.createElement('span');
        swatch.className = `swatch ${kind}`;
        item.append(swatch, ` ${text}`);
        return item;
      })
    );
  }

  function applyModel(message) {
    if (typeof message.now !== 'number') return;
    if (typeof message.rate === 'number' && message.rate !== rate) {
      rate = message.rate;
      offset = null;
    }
    const gap = performance.now() - message.now / 1000 / rate;
    offset = offset === null ? gap : Math.min(offset, gap);
    for (const update of message.updates || []) {
      const known = updates.get(update.id);
      update.lane = known ? known.lane : takeLane(update);
      updates.set(update.id, update);
    }
    // What left the model's history unfinished is gone; what finished
    // stays as long as the timeline shows it.
    for (const [id, update] of updates)
      if (update.merged || (id < message.oldest && update.state !== 'd'))
        updates.delete(id);
    showCost(message.cost);
    if (!ticking) {
      ticking = true;
      requestAnimationFrame(tick);
    }
  }

  function ms(value) {
    return `${value} ms`;
  }

  function showCost(cost) {
    if (!cost) return;
    const share = cost.run_ms > 0
      ? Math.round((cost.busy_ms * 100) / cost.run_ms) : 0;
    const lines = [
      `updates ${cost.updates} (${cost.merged} merged)`,
      `collisions ${cost.collisions}, waited ${ms(cost.waited_ms)}`,
      `flashes ${cost.flashes}`,
      `busy ${ms(cost.busy_ms)} of ${ms(cost.run_ms)} (${share}%)`,
      `latency p50 ${ms(cost.latency_ms.p50)}, p95 ${ms(cost.latency_ms.p95)}` +
        `, max ${ms(cost.latency_ms.max)}`,
      `largest residue ${cost.residue_max}` +
        (Array.isArray(cost.residue_at)
          ? ` at (${cost.residue_at[0]}, ${cost.residue_at[1]})` : ''),
    ];
    const list = $('cost');
    lines.forEach((line, i) => {
      const item = list.children[i] || list.appendChild(
        document.createElement('li'));
      if (item.textContent !== line) item.textContent = line;
    });
    document.documentElement.dataset.cost = JSON.stringify(cost);
  }

  // One frame of the timeline and of the flashes; frames go on while an
  // update is waiting or running or still on the timeline.
  function tick() {
    const now = modelNow();
    const from = now - TIMELINE_MS * 1000;
    // Drawn at the device's pixels, in CSS pixels.
    const box = timeline.canvas;
    const ratio = window.devicePixelRatio || 1;
    const width = box.clientWidth || box.width;
    const height = TIMELINE_HEIGHT;
    if (box.width !== Math.round(width * ratio)) {
      box.width = Math.round(width * ratio);
      box.height = Math.round(height * ratio);
      hatches.length = 0;
    }
    timeline.setTransform(ratio, 0, 0, ratio, 0, 0);
    const laneHeight = (height - 16) / LANES;
    const x = (t) => ((t - from) / (TIMELINE_MS * 1000)) * width;
    timeline.clearRect(0, 0, width, height);
    timeline.fillStyle = '#555';
    timeline.font = '11px "DejaVu Sans", sans-serif';
    timeline.textBaseline = 'bottom';
    const seconds = TIMELINE_MS / 1000;
    for (let s = 0; s <= seconds; ++s) {
      const at = width - (s * width) / seconds;
      timeline.fillRect(Math.min(at, width - 1), 0, 1, height - 14);
      timeline.textAlign = s === 0 ? 'right' : s === seconds ? 'left'
        : 'center';
      timeline.fillText(s === 0 ? 'now' : `-${s} s`, at, height);
    }
    invert.clearRect(0, 0, W, H);
    invert.fillStyle = '#fff';
    let live = false;
    let bars = 0;
    for (const u of updates.values()) {
      const end = u.end >= 0 ? Math.min(u.end, now) : now;
      if (u.state !== 'd' || u.end > now) live = true;
      if (end < from) {
        if (u.state === 'd') updates.delete(u.id);
        continue;
      }
      ++bars;
      const top = u.lane * laneHeight + 1;
      const tall = Math.max(laneHeight - 2, 1);
      const started = u.start >= 0 ? Math.min(u.start, now) : end;
      timeline.fillStyle = hatch(u.waveform);
      timeline.fillRect(x(u.arrival), top, x(started) - x(u.arrival), tall);
      timeline.fillStyle = colour(u.waveform);
      timeline.fillRect(x(started), top, Math.max(x(end) - x(started), 1),
                        tall);
      if (u.flash > 0 && u.start >= 0) {
        const flashEnd = Math.min(u.start + u.flash, end);
        timeline.fillStyle = '#000';
        timeline.fillRect(x(u.start), top + tall / 4,
                          Math.max(x(flashEnd) - x(u.start), 0), tall / 2);
        if (now >= u.start && now < u.start + u.flash) {
          const [x0, y0, x1, y1] = u.rect;
          invert.fillRect(x0, y0, x1 - x0 + 1, y1 - y0 + 1);
        }
      }
    }
    document.documentElement.dataset.bars = String(bars);
    document.documentElement.dataset.pending = String(
      [...updates.values()].filter((u) => u.state !== 'd').length);
    if (live || bars > 0) {
      requestAnimationFrame(tick);
    } else {
      ticking = false;
    }
  }

  // --- The list of the last requests, newest first. New items go in at
  // once; they are highlighted only when a few arrive, since in a burst the
  // highlight would only cost the browser time.
  function addToList(events, arriving) {
    const list = $('list');
    const items = document.createDocumentFragment();
    const highlight = arriving && events.length <= 5;
    for (const event of events.slice(-LIST_LENGTH)) {
      const item = document.createElement('li');
      const number = document.createElement('span');
      number.className = 'number';
      number.textContent = `#${event.n}`;
      item.append(number);
      if (event.k === 'r') {
        item.className = 'refused';
        const mark = document.createElement('span');
        mark.className = 'mark';
        mark.textContent = '\u2717';
        mark.title = 'refused';
        item.append(mark);
      }
      const text = document.createElement('span');
      text.className = 'text';
      text.textContent = String(event.s);
      item.append(text);
      if (highlight) item.classList.add('new');
      items.prepend(item);
    }
    list.prepend(items);
    while (list.children.length > LIST_LENGTH) list.lastElementChild.remove();
  }

  function showCaption(lines) {
    const text = lines.join('\n');
    if (text === captionText) return;
    captionText = text;
    $('caption').replaceChildren(
      ...lines.map((line) => {
        const item = document.createElement('li');
        item.textContent = String(line);
        return item;
      })
    );
  }

  // Requests per second over the last two seconds of the emulator's clock.
  function showRate(t, received) {
    samples.push([t, received]);
    while (samples.length > 2 && samples[1][0] <= t - RATE_WINDOW_MS)
      samples.shift();
    const [t0, r0] = samples[0];
    const rate = t > t0 ? ((received - r0) * 1000) / (t - t0) : 0;
    $('rate').textContent = String(Math.round(rate));
  }

  function reset(message) {
    if (Array.isArray(message.scale) && message.scale.length >= 2)
      scale = message.scale;
    counts.fill(0);
    max = -1;
    flashes = [];
    overlay.clearRect(0, 0, W, H);
    samples = [];
    $('list').replaceChildren();
  }

  function apply(message) {
    if (message.reset) reset(message);
    if (message.reset) resetPanel(message);
    if (message.reset) resetModel(message);
    applyPanel(message);
    applyModel(message);
    let repaintAll = false;
    if (message.max !== max) {
      max = message.max;
      buildColours();
      repaintAll = true;
    }
    const [y0, y1] = applyRows(message.rows || []);
    if (repaintAll) paint(0, H - 1);
    else if (y1 >= y0) paint(y0, y1);
    showCaption(message.caption || []);
    showRate(message.t, message.received);
    const events = message.events || [];
    addToList(events, !message.reset);
    if (!message.reset) addFlashes(events);
    const skipped = $('skipped');
    if (message.skipped > 0) {
      skipped.hidden = false;
      skipped.textContent =
        `${message.skipped} requests arrived too fast to list`;
    }
    showDropped(message.dropped || 0);
    document.documentElement.dataset.received = String(message.received);
  }

  // What the kernel dropped because the datagrams came faster than
  // zodm-screen read them: shown only once there is any.
  function showDropped(dropped) {
    const line = $('dropped');
    line.hidden = dropped === 0;
    line.textContent =
      `dropped ${dropped}: lost before zodm-screen could read them`;
    document.documentElement.dataset.dropped = String(dropped);
  }

  // --- The connection. EventSource reconnects by itself when the stream
  // ends (the emulator stopped); every new stream starts with the whole
  // state. A restarted emulator has a new key, which only the address it
  // printed carries.
  function setStatus(text, kind) {
    const status = $('status');
    status.textContent = text;
    status.className = `status ${kind}`;
  }

  let source = null;

  function connect() {
    setStatus('connecting', '');
    source = new EventSource('events');
    source.onmessage = (e) => {
      let message;
      try {
        message = JSON.parse(e.data);
      } catch (error) {
        return;
      }
      apply(message);
      setStatus('live', 'live');
    };
    source.onerror = () => {
      if (source.readyState !== EventSource.CLOSED) {
        setStatus('reconnecting', 'lost');
        return;
      }
      // Refused (too many viewers, or a key that a restarted zodm-screen no
      // longer takes) or not an event stream: ask why, then try again later,
      // unless only a new address can help.
      source.close();
      let retry = true;
      fetch('viewers', { cache: 'no-store' })
        .then((response) => {
          if (response.status !== 403) return response.json();
          retry = false;
          setStatus('refused: open the address zodm-screen printed', 'lost');
          return null;
        })
        .then((viewers) => {
          if (viewers === null) return;
          if (viewers.viewers >= viewers.max)
            setStatus(`refused: ${viewers.max} viewers already watch`, 'lost');
          else setStatus('reconnecting', 'lost');
        })
        .catch(() => setStatus('emulator stopped; reconnecting', 'lost'))
        .finally(() => {
          if (retry) setTimeout(connect, 2000);
        });
    };
  }

  buildColours();
  paint(0, H - 1);
  connect();
})();
