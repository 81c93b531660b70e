// The page of `tessaro view`: reads the frame stream, draws each source's depth maps, points and
// the histogram of the zone clicked on. Plain canvas code: the page loads nothing from elsewhere.
"use strict";

(() => {
  const ZONE_PX = 12;
  const NO_RETURN = [48, 48, 52];
  const decoder = new TextDecoder();
  const panels = [];
  const stats = { drawn: 0, latencies: [] };
  const scale = { fixed: false, min: 0, max: 4000 };
  const drawnOutput = document.getElementById("frames-drawn");
  const connection = document.getElementById("connection");
  const TYPES = { float32: Float32Array, uint8: Uint8Array, uint32: Uint32Array,
                  float64: Float64Array, int32: Int32Array };

  // Near is red, far is violet, through yellow, green and blue.
  function colourOf(mm, lo, hi) {
    const t = Math.min(1, Math.max(0, (mm - lo) / Math.max(1, hi - lo)));
    const h = t * 270 / 60, x = 1 - Math.abs((h % 2) - 1);
    const [r, g, b] = h < 1 ? [1, x, 0] : h < 2 ? [x, 1, 0] : h < 3 ? [0, 1, x]
      : h < 4 ? [0, x, 1] : [x, 0, 1];
    return [Math.round(r * 255), Math.round(g * 255), Math.round(b * 255)];
  }

  function rgb(c) { return `rgb(${c[0]},${c[1]},${c[2]})`; }

  function fmt(value, digits, unit) {
    return value === null || value === undefined ? "—" : `${value.toFixed(digits)}${unit}`;
  }

  async function post(body) {
    const response = await fetch("/api/control", {
      method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(body),
    });
    if (!response.ok) throw new Error((await response.json()).error);
  }

  class Panel {
    constructor(info) {
      this.info = info;
      this.frame = null;
      this.pending = null;
      this.zone = null;
      this.zoneBusy = false;
      this.zoneIndex = -1;
      this.range = [0, 1];
      this.yaw = -0.5;
      this.pitch = 0.35;
      const root = document.getElementById("source-template").content.firstElementChild
        .cloneNode(true);
      root.id = `source-${info.source}`;
      root.querySelector(".name").textContent =
        `${info.name} · ${info.kind} · mode ${info.mode} · ${info.echoes} echo(es)` +
        (info.dual ? " · dual depth" : "");
      this.root = root;
      this.field = (name) => root.querySelector(`.${name}`);
      const echoes = this.field("echoes");
      this.maps = [];
      for (let e = 0; e < info.echoes; e++) {
        const figure = document.createElement("figure");
        const canvas = document.createElement("canvas");
        canvas.width = info.columns * ZONE_PX;
        canvas.height = info.rows * ZONE_PX;
        canvas.id = `depth-${info.source}-${e + 1}`;
        canvas.addEventListener("click", (event) => this.click(canvas, event));
        const caption = document.createElement("figcaption");
        caption.textContent = `echo ${e + 1}`;
        figure.append(canvas, caption);
        echoes.append(figure);
        this.maps.push(canvas);
      }
      this.small = document.createElement("canvas");
      this.small.width = info.columns;
      this.small.height = info.rows;
      this.bar = root.querySelector(".colour-bar canvas");
      this.cloud = root.querySelector(".cloud canvas");
      this.histogram = this.field("histogram");
      this.histogram.id = `histogram-${info.source}`;
      this.values = this.field("zone-values");
      this.values.id = `zone-${info.source}`;
      this.rotation();
      if (info.kind === "recording") this.playback();
      document.getElementById("sources").append(root);
    }

    playback() {
      const box = this.field("playback");
      box.hidden = false;
      const seek = this.field("seek"), play = this.field("play");
      seek.max = String(Math.max(0, this.info.length - 1));
      const source = this.info.source;
      const report = (error) => { this.showError(error.message); };
      play.addEventListener("click", () =>
        post({ source, play: play.textContent === "play" }).catch(report));
      seek.addEventListener("input", () => { this.seeking = true; });
      seek.addEventListener("change", () => {
        this.seeking = false;
        post({ source, seek: Number(seek.value) }).catch(report);
      });
      this.field("loop").addEventListener("change", (event) =>
        post({ source, loop: event.target.checked }).catch(report));
      this.field("speed").addEventListener("change", (event) =>
        post({ source, speed: Number(event.target.value) }).catch(report));
    }

    showError(text) {
      const p = this.field("error");
      p.hidden = !text;
      p.textContent = text || "";
    }

    rotation() {
      let from = null;
      this.cloud.addEventListener("pointerdown", (event) => {
        from = [event.clientX, event.clientY];
        this.cloud.setPointerCapture(event.pointerId);
      });
      this.cloud.addEventListener("pointermove", (event) => {
        if (!from) return;
        this.yaw += (event.clientX - from[0]) * 0.01;
        this.pitch = Math.max(-1.5, Math.min(1.5, this.pitch + (event.clientY - from[1]) * 0.01));
        from = [event.clientX, event.clientY];
        if (this.frame) this.drawCloud(this.frame);
      });
      this.cloud.addEventListener("pointerup", () => { from = null; });
    }

    receive(header, message, skipped) {
      const length = new DataView(message).getUint32(0, true);
      const arrays = {};
      for (const a of header.arrays) {
        const count = a.shape.reduce((p, n) => p * n, 1);
        arrays[a.name] = new TYPES[a.dtype](message, 4 + length + a.offset, count);
      }
      this.pending = { header, arrays, skipped };
    }

    click(canvas, event) {
      const rect = canvas.getBoundingClientRect();
      const column = Math.floor((event.clientX - rect.left) * canvas.width / rect.width / ZONE_PX);
      const row = Math.floor((event.clientY - rect.top) * canvas.height / rect.height / ZONE_PX);
      if (row < 0 || column < 0 || row >= this.info.rows || column >= this.info.columns) return;
      this.zone = [row, column];
      this.zoneIndex = -1;
      if (this.frame) this.drawMaps(this.frame);
      this.fetchZone();
    }

    async fetchZone() {
      if (!this.zone || this.zoneBusy) return;
      this.zoneBusy = true;
      const [row, column] = this.zone;
      try {
        const response = await fetch(
          `/api/zone?source=${this.info.source}&row=${row}&column=${column}`);
        const zone = await response.json();
        if (!response.ok) throw new Error(zone.error);
        if (this.zone && this.zone[0] === zone.row && this.zone[1] === zone.column) {
          this.zoneIndex = zone.index;
          this.drawHistogram(zone);
        }
      } catch (error) {
        this.values.textContent = `zone: ${error.message}`;
      } finally {
        this.zoneBusy = false;
      }
    }

    draw() {
      const frame = this.pending;
      this.pending = null;
      this.frame = frame;
      const h = frame.header, depth = frame.arrays.depth;
      if (scale.fixed) {
        this.range = [scale.min, scale.max];
      } else {
        let lo = Infinity, hi = -Infinity;
        for (const d of depth) if (d > 0) { lo = Math.min(lo, d); hi = Math.max(hi, d); }
        // whole 100 mm, so that the scale holds still while the scene moves a little
        this.range = lo <= hi ? [Math.floor(lo / 100) * 100, Math.ceil(hi / 100) * 100 + 100]
          : [0, 1000];
      }
      this.drawMaps(frame);
      this.drawBar();
      this.drawCloud(frame);
      this.status(h, frame.skipped);
      if (this.zone && h.index !== this.zoneIndex) this.fetchZone();
    }

    status(h, skipped) {
      const set = (name, text) => { this.field(name).textContent = text; };
      set("frame-index", h.length ? `${h.index} / ${h.length}` : String(h.index));
      set("frame-id", String(h.frame_id));
      set("capture-time", h.capture_time_ns === null ? "—" : fmt(h.capture_time_ns / 1e9, 3, " s"));
      set("sensor-time", h.sensor_timestamp === null ? "—" : fmt(h.sensor_timestamp / 1e6, 3, " s"));
      set("rate", fmt(h.rate, 1, " Hz"));
      set("dropped", `${h.dropped_total} (failed ${h.failed})`);
      set("skipped", String(skipped));
      set("temperature", fmt(h.temperature, 1, " °C"));
      if (this.info.kind === "recording") {
        this.field("play").textContent = h.playing ? "pause" : "play";
        if (!this.seeking) this.field("seek").value = String(h.index);
        this.field("position").textContent = `${h.index + 1} of ${h.length}`;
        this.field("loop").checked = h.loop;
      }
    }

    drawMaps(frame) {
      const { rows, columns } = this.info;
      const zones = rows * columns, depth = frame.arrays.depth;
      const [lo, hi] = this.range;
      const small = this.small.getContext("2d");
      const image = small.createImageData(columns, rows);
      this.maps.forEach((canvas, e) => {
        for (let z = 0; z < zones; z++) {
          const d = depth[e * zones + z];
          image.data.set(d > 0 ? colourOf(d, lo, hi) : NO_RETURN, z * 4);
          image.data[z * 4 + 3] = 255;
        }
        small.putImageData(image, 0, 0);
        const g = canvas.getContext("2d");
        g.imageSmoothingEnabled = false;
        g.drawImage(this.small, 0, 0, canvas.width, canvas.height);
        g.strokeStyle = "#8a8d94";
        g.lineWidth = 1;
        g.beginPath();
        for (let z = 0; z < zones; z++) {
          if (depth[e * zones + z] > 0) continue;
          const x = (z % columns) * ZONE_PX, y = Math.floor(z / columns) * ZONE_PX;
          g.moveTo(x + 3, y + 3); g.lineTo(x + ZONE_PX - 3, y + ZONE_PX - 3);
          g.moveTo(x + ZONE_PX - 3, y + 3); g.lineTo(x + 3, y + ZONE_PX - 3);
        }
        g.stroke();
        if (this.zone) {
          g.strokeStyle = "#fff";
          g.lineWidth = 2;
          g.strokeRect(this.zone[1] * ZONE_PX + 1, this.zone[0] * ZONE_PX + 1,
                       ZONE_PX - 2, ZONE_PX - 2);
        }
      });
    }

    drawBar() {
      const g = this.bar.getContext("2d"), { width, height } = this.bar;
      const [lo, hi] = this.range;
      if (this.barRange === `${lo},${hi}`) return;
      this.barRange = `${lo},${hi}`;
      g.clearRect(0, 0, width, height);
      for (let y = 0; y < height; y++) {
        g.fillStyle = rgb(colourOf(lo + (hi - lo) * y / (height - 1), lo, hi));
        g.fillRect(0, y, 10, 1);
      }
      g.fillStyle = "#e4e6ea";
      g.font = "10px sans-serif";
      for (let i = 0; i <= 4; i++) {
        const y = Math.round((height - 1) * i / 4);
        g.fillText(String(Math.round(lo + (hi - lo) * i / 4)), 12, Math.min(height - 2, y + 9));
      }
    }

    drawCloud(frame) {
      const g = this.cloud.getContext("2d"), { width, height } = this.cloud;
      const points = frame.arrays.points, depth = frame.arrays.depth;
      const [lo, hi] = this.range;
      const centre = (lo + hi) / 2, extent = Math.max(500, hi);
      const distance = 2.5 * extent, focal = 1.2 * height * distance / extent;
      const cy = Math.cos(this.yaw), sy = Math.sin(this.yaw);
      const cp = Math.cos(this.pitch), sp = Math.sin(this.pitch);
      const projected = [];
      for (let i = 0; i < depth.length; i++) {
        if (!(depth[i] > 0)) continue;
        const x = points[3 * i], y = points[3 * i + 1], z = points[3 * i + 2] - centre;
        const x1 = cy * x + sy * z, z1 = -sy * x + cy * z;
        const y2 = cp * y - sp * z1, z2 = sp * y + cp * z1;
        const w = z2 + distance;
        if (w <= 1) continue;
        projected.push([w, width / 2 + focal * x1 / w, height / 2 + focal * y2 / w, depth[i]]);
      }
      projected.sort((a, b) => b[0] - a[0]);
      g.fillStyle = "#000";
      g.fillRect(0, 0, width, height);
      for (const [, x, y, d] of projected) {
        g.fillStyle = rgb(colourOf(d, lo, hi));
        g.fillRect(x - 1.5, y - 1.5, 3, 3);
      }
    }

    drawHistogram(zone) {
      const g = this.histogram.getContext("2d"), { width, height } = this.histogram;
      const parts = zone.histogram.length, band = height / parts;
      const names = parts === 2 ? ["near", "far"] : [""];
      g.fillStyle = "#000";
      g.fillRect(0, 0, width, height);
      g.font = "11px sans-serif";
      zone.histogram.forEach((counts, s) => {
        const top = s * band, base = top + band - 14, room = band - 30;
        const peak = Math.max(1, ...counts), step = (width - 50) / counts.length;
        g.fillStyle = "#6fa8dc";
        counts.forEach((c, b) => {
          const h = room * c / peak;
          g.fillRect(40 + b * step, base - h, Math.max(1, step - 0.5), h);
        });
        g.fillStyle = "#ff5252";
        g.strokeStyle = "#ff5252";
        zone.peaks[s].forEach((b, k) => {
          const x = 40 + (b + 0.5) * step;
          g.beginPath(); g.moveTo(x, base); g.lineTo(x, top + 12); g.stroke();
          g.fillText(`return ${k + 1} (bin ${b})`, Math.min(x + 3, width - 90), top + 12 + 12 * k);
        });
        g.fillStyle = "#9aa0a8";
        g.fillText(`${names[s]} ${peak}`, 2, top + 12);
        g.fillText("0", 40, base + 12);
        g.fillText(String(counts.length - 1), width - 30, base + 12);
      });
      this.histogram.dataset.zone = `${zone.row},${zone.column}`;
      this.histogram.dataset.index = String(zone.index);
      const rows = zone.depth.map((d, e) =>
        `<tr><td>${e + 1}</td><td>${d > 0 ? d.toFixed(1) : "no return"}</td>` +
        `<td>${zone.peak_height[e].toFixed(1)}</td><td>${zone.peak_status[e]}</td></tr>`);
      const noise = zone.noise.map((n, s) => `${names[s]} ${n.toFixed(2)}`.trim()).join(", ");
      this.values.innerHTML =
        `<p>zone row ${zone.row}, column ${zone.column} · frame ${zone.index}</p>` +
        "<table><tr><th>echo</th><th>depth mm</th><th>peak height</th><th>status</th></tr>" +
        `${rows.join("")}</table><p>noise ${noise}</p>`;
    }
  }

  function frame() {
    scheduled = false;
    const now = performance.timeOrigin + performance.now();
    for (const panel of panels) {
      if (!panel.pending) continue;
      panel.draw();
      stats.drawn += 1;
      stats.latencies.push(performance.timeOrigin + performance.now() -
                           panel.frame.header.delivered_ms);
      if (stats.latencies.length > 2000) stats.latencies.splice(0, 1000);
    }
    drawnOutput.textContent = String(stats.drawn);
    return now;
  }

  let scheduled = false;
  function schedule() {
    if (scheduled) return;
    scheduled = true;
    if (document.hidden) setTimeout(frame, 0); else requestAnimationFrame(frame);
  }

  async function stream() {
    for (;;) {
      try {
        const response = await fetch("/api/stream", { cache: "no-store" });
        if (!response.ok) throw new Error((await response.json()).error);
        connection.textContent = "streaming";
        const reader = response.body.getReader();
        let buffer = new Uint8Array(1 << 20), length = 0;
        for (;;) {
          const { value, done } = await reader.read();
          if (done) break;
          if (length + value.length > buffer.length) {
            const larger = new Uint8Array(2 * (length + value.length));
            larger.set(buffer.subarray(0, length));
            buffer = larger;
          }
          buffer.set(value, length);
          length += value.length;
          let at = 0;
          while (length - at >= 8) {
            const view = new DataView(buffer.buffer, at, 8);
            const size = view.getUint32(0, true);
            if (length - at - 4 < size) break;
            // a copy of its own, so that the arrays in it are aligned
            const message = buffer.slice(at + 8, at + 4 + size).buffer;
            const headerLength = new DataView(message).getUint32(0, true);
            const header = JSON.parse(decoder.decode(new Uint8Array(message, 4, headerLength)));
            panels[header.source].receive(header, message, view.getUint32(4, true));
            at += 4 + size;
          }
          buffer.copyWithin(0, at, length);
          length -= at;
          schedule();
        }
        connection.textContent = "the server closed the stream";
      } catch (error) {
        connection.textContent = `disconnected: ${error.message}`;
      }
      await new Promise((resolve) => setTimeout(resolve, 1000));
    }
  }

  function scaleControls() {
    const min = document.getElementById("scale-min"), max = document.getElementById("scale-max");
    const update = () => {
      scale.fixed = document.querySelector("input[name=scale]:checked").value === "fixed";
      scale.min = Number(min.value);
      scale.max = Number(max.value);
    };
    const range = new URLSearchParams(location.search).get("range");
    if (range) {
      [min.value, max.value] = range.split(",");
      document.querySelector("input[name=scale][value=fixed]").checked = true;
    }
    for (const input of document.querySelectorAll("header input")) {
      input.addEventListener("change", update);
    }
    update();
  }

  async function start() {
    scaleControls();
    const sources = await (await fetch("/api/sources")).json();
    for (const info of sources) panels.push(new Panel(info));
    stream();
    // A source that fails sends no frames: its error comes with the sources' state.
    setInterval(async () => {
      try {
        for (const info of await (await fetch("/api/sources")).json()) {
          panels[info.source].showError(info.error && `capture: ${info.error}`);
        }
      } catch (error) {
        connection.textContent = `disconnected: ${error.message}`;
      }
    }, 2000);
  }

  window.tessaroView = { stats, colourOf, panels, scale };
  start().catch((error) => { connection.textContent = `failed: ${error.message}`; });
})();
