// quorvale-dat serve: the interface. One page whose view follows the URL (the history API), so
// that every view has a link and the browser's back button works. Everything it shows comes from
// the JSON API under /api/ (docs/serve.md); nothing is loaded from anywhere else.
"use strict";

const PAGE = 100;          // entries per page of the entry list
const GALLERY_PAGE = 120;  // thumbnails per page of the gallery
const KINDS = { 4: "palette", 5: "texture list", 6: "texture", 8: "surface" };
const INDEXED = new Set(["P8", "Index16"]);

// ---------------------------------------------------------------------------------------------
// Small helpers

function h(tag, attrs = {}, ...children) {
  const el = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (v === undefined || v === null || v === false) continue;
    if (k === "class") el.className = v;
    else if (k.startsWith("on")) el.addEventListener(k.slice(2), v);
    else el.setAttribute(k, v === true ? "" : String(v));
  }
  for (const c of children.flat()) {
    if (c === undefined || c === null || c === false) continue;
    el.append(c instanceof Node ? c : document.createTextNode(String(c)));
  }
  return el;
}

const hex8 = (n) => "0x" + (n >>> 0).toString(16).toUpperCase().padStart(8, "0");
const hex2 = (n) => "0x" + n.toString(16).toUpperCase().padStart(2, "0");
const typeOf = (id) => id >>> 24;
const kindOf = (id) => KINDS[typeOf(id)] || "type " + hex2(typeOf(id));
const number = (n) => Number(n).toLocaleString("en-US");
const plural = (n, one, many) => number(n) + " " + (n === 1 ? one : many);
function bytes(n) {
  if (n < 1024) return plural(n, "byte", "bytes");
  const units = ["KiB", "MiB", "GiB", "TiB"];
  let v = n / 1024, u = 0;
  while (v >= 1024 && u < units.length - 1) { v /= 1024; u++; }
  return v.toFixed(v < 10 ? 2 : 1) + " " + units[u];
}

// An id as the API and the command line spell it: 0x and hex digits, or decimal.
function parseId(text) {
  const t = text.trim();
  let v;
  if (/^0[xX][0-9a-fA-F]{1,8}$/.test(t)) v = parseInt(t.slice(2), 16);
  else if (/^[0-9]{1,10}$/.test(t)) v = Number(t);
  else return null;
  return v <= 0xFFFFFFFF ? v : null;
}

// "0x06000C30" or "0x06000C30-0x06000D0B" (or with ".." or a space between).
function parseIdOrRange(text) {
  const t = text.trim();
  if (t === "") return { from: null, to: null };
  const parts = t.split(/\s*(?:-|\.\.|\s)\s*/);
  if (parts.length === 1) {
    const id = parseId(parts[0]);
    return id === null ? null : { from: id, to: id };
  }
  if (parts.length !== 2) return null;
  const from = parseId(parts[0]), to = parseId(parts[1]);
  if (from === null || to === null || from > to) return null;
  return { from, to };
}

const recordLink = (id, text) => h("a", { href: "/records/" + hex8(id), class: "mono" }, text ?? hex8(id));

function colorParts(argb) {
  return { a: argb >>> 24, r: (argb >>> 16) & 255, g: (argb >>> 8) & 255, b: argb & 255 };
}
function colorText(argb) {
  const c = colorParts(argb);
  return `${hex8(argb)}  a=${c.a} r=${c.r} g=${c.g} b=${c.b}`;
}
function colorCss(argb) {
  const c = colorParts(argb);
  return `rgba(${c.r}, ${c.g}, ${c.b}, ${(c.a / 255).toFixed(3)})`;
}
// A colour over the checkerboard, so that its alpha shows.
function colorBox(argb, cls) {
  const inner = h("span");
  inner.style.background = colorCss(argb);
  return h("span", { class: (cls || "color-dot") + " checker" }, inner);
}

// GET of a JSON API; never throws: { ok, status, data } with data.error on failure.
async function api(path) {
  try {
    const res = await fetch(path, { headers: { Accept: "application/json" } });
    let data = null;
    try { data = await res.json(); } catch { data = { error: "the reply is not JSON" }; }
    return { ok: res.ok, status: res.status, data };
  } catch (e) {
    return { ok: false, status: 0, data: { error: "the server cannot be reached (" + e.message + ")" } };
  }
}

// The reason an image URL failed, from its JSON error body.
async function imageError(url) {
  const r = await api(url);
  return r.ok ? "the image did not decode" : r.data.error || "HTTP " + r.status;
}

// ---------------------------------------------------------------------------------------------
// Routing

const view = document.getElementById("view");
let renderToken = 0;   // a render that finds it has changed was overtaken by another navigation
let info = null;       // /api/info, fetched once
let cleanup = [];      // what the current view must undo when it is left

function navigate(url, replace = false) {
  if (replace) history.replaceState(null, "", url);
  else history.pushState(null, "", url);
  render();
}

document.addEventListener("click", (e) => {
  const a = e.target.closest("a");
  if (!a || e.defaultPrevented || e.button !== 0 || e.metaKey || e.ctrlKey || e.shiftKey || e.altKey) return;
  if (a.hasAttribute("download") || a.target) return;
  const url = new URL(a.href, location.href);
  if (url.origin !== location.origin || url.pathname.startsWith("/api/") || url.pathname.startsWith("/assets/")) return;
  e.preventDefault();
  if (url.pathname + url.search !== location.pathname + location.search) navigate(url.pathname + url.search);
});
window.addEventListener("popstate", () => render());

async function render() {
  const token = ++renderToken;
  for (const f of cleanup) f();
  cleanup = [];
  const path = location.pathname;
  const params = new URLSearchParams(location.search);
  for (const a of document.querySelectorAll("[data-nav]")) {
    const current = (a.dataset.nav === "overview" && path === "/") ||
                    (a.dataset.nav !== "overview" && path === "/" + a.dataset.nav);
    if (current) a.setAttribute("aria-current", "page"); else a.removeAttribute("aria-current");
  }
  const live = () => token === renderToken;
  const show = (...nodes) => {
    if (!live()) return false;
    view.replaceChildren(...nodes);
    const h1 = view.querySelector("h1");
    if (h1) { h1.tabIndex = -1; h1.focus({ preventScroll: true }); }
    window.scrollTo(0, 0);
    return true;
  };
  try {
    if (!info) {
      const r = await api("/api/info");
      if (!live()) return;
      if (!r.ok) { show(errorNotice("The archive's summary cannot be read: " + r.data.error)); return; }
      info = r.data;
      const name = info.archive.split("/").pop();
      document.getElementById("archive-name").textContent = name;
      document.getElementById("archive-name").title = info.archive;
    }
    if (path === "/") await overview(show, live);
    else if (path === "/entries") await entries(params, show, live);
    else if (path === "/gallery") await gallery(params, show, live);
    else if (path.startsWith("/records/")) await record(decodeURIComponent(path.slice(9)), params, show, live);
    else show(h("h1", {}, "Not found"), h("p", {}, "This page does not exist. ", h("a", { href: "/" }, "Overview")));
  } catch (e) {
    show(errorNotice("The page failed: " + e.message));
    throw e;
  }
}

function errorNotice(text) { return h("div", { class: "notice bad", role: "alert" }, text); }
function setTitle(text) { document.title = text + " · quorvale-dat"; }

// ---------------------------------------------------------------------------------------------
// Overview

async function overview(show, live) {
  setTitle("Overview");
  const types = info.types.map((t) => h("tr", {},
    h("td", { class: "mono" }, t.type_hex),
    h("td", {}, t.name ?? h("span", { class: "muted" }, "—")),
    h("td", { class: "num" }, number(t.count)),
    h("td", {}, h("a", { href: "/entries?type=" + t.type_hex }, "entries"),
      t.type === 6 ? [" · ", h("a", { href: "/gallery" }, "gallery")] : null)));
  const verifyBox = h("div", { id: "verify" }, h("span", { class: "muted" }, "Checking the structure…"));
  const header = h("dl", { class: "facts" }, Object.entries(info.header)
    .filter(([k]) => !k.endsWith("_hex") || k === "version_string_hex")
    .flatMap(([k, v]) => {
      const hex = info.header[k + "_hex"];
      return [h("dt", { class: "mono" }, k), h("dd", { class: "mono" }, hex ? `${hex} (${v})` : String(v))];
    }));
  show(
    h("div", { class: "page-head" }, h("div", {}, h("h1", {}, "Overview"), h("div", { class: "muted mono" }, info.archive))),
    h("div", { class: "cards" },
      card(number(info.entries), "entries"),
      card(bytes(info.file_size), "file size"),
      card(number(info.block_size), "bytes per block"),
      card(number(info.compressed_entries), "compressed entries"),
      card(number(info.directory.nodes), "directory nodes"),
      card(number(info.directory.depth), "directory levels")),
    h("div", { class: "columns" },
      h("section", { class: "panel" }, h("h2", {}, "Records by type"),
        h("table", { class: "list" },
          h("thead", {}, h("tr", {}, h("th", {}, "Type"), h("th", {}, "Kind"), h("th", { class: "num" }, "Count"), h("th", {}, ""))),
          h("tbody", {}, types))),
      h("section", { class: "panel" }, h("h2", {}, "Structure"), verifyBox)),
    h("section", { class: "panel" }, h("h2", {}, "Header"), header));
  const r = await api("/api/verify");
  if (!live()) return;
  if (!r.ok) { verifyBox.replaceChildren(errorNotice(r.data.error)); return; }
  const v = r.data;
  const summary = `${plural(v.nodes, "directory node", "directory nodes")} and ${plural(v.entries, "entry", "entries")} checked.`;
  if (v.ok) {
    verifyBox.replaceChildren(h("div", { class: "status good" }, "✓ No structural problems"), h("p", { class: "muted" }, summary));
    return;
  }
  verifyBox.replaceChildren(
    h("div", { class: "status bad" }, "✗ " + plural(v.problems.length, "problem", "problems")),
    h("p", { class: "muted" }, summary),
    h("ul", { class: "problems" }, v.problems.map((p) => h("li", {},
      p.place === "entry" ? [recordLink(p.id), " "] : h("span", { class: "mono" }, p.place === "node" ? "node " + p.offset_hex + " " : "header "),
      h("span", { class: "muted" }, "at " + p.offset_hex + ": "), p.message))));
}

function card(value, label) {
  return h("div", { class: "card" }, h("div", { class: "value" }, value), h("div", { class: "label" }, label));
}

// ---------------------------------------------------------------------------------------------
// Entry list and gallery: pages of /api/entries

// The filter of a list view from its URL: type byte, id or range, page.
function listFilter(params, fixedType) {
  const type = fixedType ?? (params.get("type") ? parseId(params.get("type")) : null);
  const ids = params.get("ids") ?? "";
  const range = parseIdOrRange(ids);
  const page = Math.max(1, Math.floor(Number(params.get("page")) || 1));
  return { type: type !== null && type <= 255 ? type : null, ids, range, page };
}

function entriesQuery(filter, offset, limit) {
  const q = new URLSearchParams();
  if (filter.type !== null) q.set("type", hex2(filter.type));
  if (filter.range && filter.range.from !== null) { q.set("from", hex8(filter.range.from)); q.set("to", hex8(filter.range.to)); }
  q.set("offset", String(offset));
  q.set("limit", String(limit));
  return "/api/entries?" + q;
}

function listUrl(base, filter, page) {
  const q = new URLSearchParams();
  if (filter.type !== null && base === "/entries") q.set("type", hex2(filter.type));
  if (filter.ids.trim()) q.set("ids", filter.ids.trim());
  if (page > 1) q.set("page", String(page));
  const s = q.toString();
  return base + (s ? "?" + s : "");
}

function filterForm(base, filter, withType) {
  const typeSelect = withType ? h("select", { id: "filter-type", name: "type" },
    h("option", { value: "" }, "All types"),
    info.types.map((t) => h("option", { value: t.type_hex, selected: filter.type === t.type },
      `${t.type_hex} ${t.name ?? ""} (${number(t.count)})`))) : null;
  const idsInput = h("input", { id: "filter-ids", name: "ids", value: filter.ids, placeholder: "0x06000C30 or FROM-TO", autocomplete: "off", spellcheck: "false" });
  const message = h("span", { class: "muted", role: "status" });
  const apply = () => {
    const range = parseIdOrRange(idsInput.value);
    if (range === null) { message.textContent = "Not an id or a range FROM-TO of ids."; idsInput.focus(); return; }
    const type = typeSelect && typeSelect.value ? parseId(typeSelect.value) : (withType ? null : filter.type);
    navigate(listUrl(base, { type, ids: idsInput.value, range }, 1));
  };
  if (typeSelect) typeSelect.addEventListener("change", apply);
  return h("form", { class: "filters", onsubmit: (e) => { e.preventDefault(); apply(); } },
    typeSelect ? h("label", { for: "filter-type" }, "Type", typeSelect) : null,
    h("label", { for: "filter-ids" }, "Id or range", idsInput),
    h("button", { type: "submit", class: "primary" }, "Filter"),
    filter.ids || filter.type !== null && withType ? h("a", { href: base, class: "button" }, "Clear") : null,
    message);
}

// Previous and next, the page and a page number to go to; the arrow keys page as well.
function pager(base, filter, total, perPage) {
  const pages = Math.max(1, Math.ceil(total / perPage));
  const page = Math.min(filter.page, pages);
  const go = (p) => navigate(listUrl(base, filter, Math.min(Math.max(1, p), pages)));
  const jump = h("input", { type: "number", min: 1, max: pages, value: page, "aria-label": "Page number" });
  const first = (page - 1) * perPage;
  return {
    page,
    pages,
    node: h("nav", { class: "pager", "aria-label": "Pages" },
      h("button", { type: "button", disabled: page <= 1, onclick: () => go(1), "aria-label": "First page" }, "«"),
      h("button", { type: "button", disabled: page <= 1, onclick: () => go(page - 1), "data-page": "prev" }, "‹ Previous"),
      h("span", { class: "where" }, total === 0 ? "no entries" :
        `${number(first + 1)}–${number(Math.min(total, first + perPage))} of ${number(total)} · page ${number(page)} of ${number(pages)}`),
      h("button", { type: "button", disabled: page >= pages, onclick: () => go(page + 1), "data-page": "next" }, "Next ›"),
      h("button", { type: "button", disabled: page >= pages, onclick: () => go(pages), "aria-label": "Last page" }, "»"),
      h("form", { onsubmit: (e) => { e.preventDefault(); go(Number(jump.value) || 1); } }, jump, " ", h("button", { type: "submit" }, "Go"))),
    keys: (e) => {
      if (e.key === "ArrowRight" && page < pages) go(page + 1);
      else if (e.key === "ArrowLeft" && page > 1) go(page - 1);
      else return false;
      return true;
    },
  };
}

let pageKeys = null;  // the arrow keys' handler of the current list view

async function entries(params, show, live) {
  setTitle("Entries");
  const filter = listFilter(params, null);
  if (filter.range === null) {
    show(h("h1", {}, "Entries"), filterForm("/entries", filter, true), errorNotice("Not an id or a range FROM-TO of ids: " + filter.ids));
    return;
  }
  const r = await api(entriesQuery(filter, (filter.page - 1) * PAGE, PAGE));
  if (!live()) return;
  if (!r.ok) { show(h("h1", {}, "Entries"), filterForm("/entries", filter, true), errorNotice(r.data.error)); return; }
  const p = pager("/entries", filter, r.data.total, PAGE);
  if (p.page !== filter.page && r.data.total > 0) { navigate(listUrl("/entries", filter, p.page), true); return; }
  pageKeys = p.keys;
  cleanup.push(() => { pageKeys = null; });
  const rows = r.data.entries.map((e) => h("tr", {},
    h("td", {}, recordLink(e.id)),
    h("td", {}, kindOf(e.id)),
    h("td", { class: "num" }, number(e.size)),
    h("td", {}, e.compressed ? h("span", { class: "chip" }, "compressed") : h("span", { class: "muted" }, "—")),
    h("td", { class: "mono" }, e.offset_hex)));
  show(
    h("div", { class: "page-head" }, h("h1", {}, "Entries")),
    filterForm("/entries", filter, true),
    p.node,
    h("div", { class: "panel" }, rows.length === 0 ? h("p", { class: "muted" }, "No entries match.") :
      h("table", { class: "list", id: "entry-table" },
        h("thead", {}, h("tr", {}, h("th", {}, "Id"), h("th", {}, "Kind"), h("th", { class: "num" }, "Stored bytes"), h("th", {}, "Storage"), h("th", {}, "Offset"))),
        h("tbody", {}, rows))),
    rows.length > 20 ? pager("/entries", filter, r.data.total, PAGE).node : null);
}

// Thumbnails are requested as their tiles come near the viewport.
function lazyImages(root) {
  const observer = new IntersectionObserver((seen) => {
    for (const s of seen) {
      if (!s.isIntersecting) continue;
      observer.unobserve(s.target);
      s.target.src = s.target.dataset.src;
    }
  }, { rootMargin: "300px" });
  for (const img of root.querySelectorAll("img[data-src]")) observer.observe(img);
  cleanup.push(() => observer.disconnect());
}

function thumbSize() { return Math.min(512, Math.round(128 * (window.devicePixelRatio || 1))); }

function thumbTile(id, palette) {
  const q = new URLSearchParams({ size: String(thumbSize()) });
  if (palette !== undefined) q.set("palette", hex8(palette));
  const url = `/api/textures/${hex8(id)}/thumb.png?${q}`;
  const frame = h("div", { class: "frame checker" });
  const img = h("img", { "data-src": url, alt: "texture " + hex8(id), class: "pixelated", decoding: "async" });
  img.addEventListener("error", async () => {
    frame.replaceChildren(h("div", { class: "failed" }, await imageError(url)));
  });
  frame.append(img);
  return h("a", { class: "tile", href: "/records/" + hex8(id), title: "texture " + hex8(id) }, frame,
    h("div", { class: "caption" }, h("span", {}, hex8(id))));
}

async function gallery(params, show, live) {
  setTitle("Gallery");
  const filter = listFilter(params, 6);
  const head = h("div", { class: "page-head" }, h("div", {}, h("h1", {}, "Gallery"), h("div", { class: "muted" }, "Every texture (type 0x06), as a thumbnail.")));
  if (filter.range === null) {
    show(head, filterForm("/gallery", filter, false), errorNotice("Not an id or a range FROM-TO of ids: " + filter.ids));
    return;
  }
  const r = await api(entriesQuery(filter, (filter.page - 1) * GALLERY_PAGE, GALLERY_PAGE));
  if (!live()) return;
  if (!r.ok) { show(head, filterForm("/gallery", filter, false), errorNotice(r.data.error)); return; }
  const p = pager("/gallery", filter, r.data.total, GALLERY_PAGE);
  if (p.page !== filter.page && r.data.total > 0) { navigate(listUrl("/gallery", filter, p.page), true); return; }
  pageKeys = p.keys;
  cleanup.push(() => { pageKeys = null; });
  const grid = h("div", { class: "gallery", id: "gallery" }, r.data.entries.map((e) => thumbTile(e.id)));
  show(head, filterForm("/gallery", filter, false), p.node,
    r.data.total === 0 ? h("p", { class: "muted" }, "No textures match.") : grid,
    r.data.entries.length > 30 ? pager("/gallery", filter, r.data.total, GALLERY_PAGE).node : null);
  lazyImages(grid);
}

// ---------------------------------------------------------------------------------------------
// Record pages

async function record(idText, params, show, live) {
  const id = parseId(idText);
  if (id === null) {
    setTitle("Not an id");
    show(h("h1", {}, "Not an id"), errorNotice(`“${idText}” is not an id: 0x and hexadecimal digits, or decimal.`));
    return;
  }
  setTitle(hex8(id));
  const [rec, listing] = await Promise.all([api("/api/records/" + hex8(id)),
    api(`/api/entries?from=${hex8(id)}&to=${hex8(id)}&limit=1`)]);
  if (!live()) return;
  const entry = listing.ok && listing.data.entries.length === 1 ? listing.data.entries[0] : null;
  const title = h("h1", {}, kindOf(id).replace(/^./, (c) => c.toUpperCase()) + " ", h("span", { class: "mono" }, hex8(id)));
  const chips = h("div", { class: "chips" });
  const head = h("div", { class: "page-head" }, h("div", {}, title, chips));
  const usedBy = h("section", { class: "panel", id: "used-by" }, h("h2", {}, "Used by"), h("p", { class: "muted" }, "Looking for references…"));

  if (rec.status === 404 || !entry) {
    show(head, h("div", { class: "notice" }, `${hex8(id)} is not in the archive.`), usedBy);
    await references(id, usedBy, live);
    return;
  }
  chips.append(...[h("span", { class: "chip" }, kindOf(id)),
    h("span", { class: "chip plain" }, rec.ok ? plural(rec.data.size, "byte", "bytes") : "stored " + plural(entry.size, "byte", "bytes")),
    entry.compressed ? h("span", { class: "chip plain" }, "compressed, " + plural(entry.size, "byte", "bytes") + " stored") : null,
    h("span", { class: "chip plain" }, "chain at " + entry.offset_hex)].filter(Boolean));
  const actions = h("div", { class: "chips" },
    h("a", { class: "button", href: `/api/records/${hex8(id)}/raw`, download: hex8(id) + ".bin" }, "Bytes"),
    entry.compressed ? h("a", { class: "button", href: `/api/records/${hex8(id)}/raw?stored=1`, download: hex8(id) + ".stored.bin" }, "Stored bytes") : null,
    h("a", { class: "button", href: `/api/records/${hex8(id)}`, target: "_blank" }, "JSON"));
  head.append(actions);

  const body = [];
  if (!rec.ok) {
    body.push(errorNotice(rec.data.error), await hexPanel(id, live));
  } else if (rec.data.record === null) {
    body.push(await hexPanel(id, live));
  } else {
    const r = rec.data.record;
    switch (typeOf(id)) {
      case 6: body.push(...texturePage(id, r, params)); break;
      case 4: body.push(palettePage(r)); break;
      case 5: body.push(listPage(r)); break;
      case 8: body.push(...(await surfacePage(r, live))); break;
    }
  }
  if (!show(head, ...body.filter(Boolean), usedBy)) return;
  await references(id, usedBy, live);
}

async function references(id, box, live) {
  for (let wait = 200; ; wait = Math.min(1000, wait * 1.5)) {
    const r = await api("/api/refs/" + hex8(id));
    if (!live()) return;
    if (!r.ok) { box.replaceChildren(h("h2", {}, "Used by"), errorNotice(r.data.error)); return; }
    if (r.data.ready) {
      const refs = r.data.referrers;
      box.replaceChildren(h("h2", {}, "Used by"), refs.length === 0
        ? h("p", { class: "muted" }, "No record in the archive refers to this one.")
        : h("ul", { class: "refs" }, refs.map((x) => h("li", {}, recordLink(x.id), h("span", {}, x.kind), h("span", { class: "muted mono" }, x.field)))));
      return;
    }
    box.replaceChildren(h("h2", {}, "Used by"),
      h("p", { class: "muted" }, `Indexing the archive's references… ${number(r.data.done)} of ${number(r.data.total)} records`));
    await new Promise((done) => setTimeout(done, wait));
    if (!live()) return;
  }
}

function facts(pairs) {
  return h("dl", { class: "facts" }, pairs.filter(Boolean).flatMap(([k, v]) => [h("dt", {}, k), h("dd", {}, v)]));
}

// A texture at full size: zoom, checkerboard, the pixel under the pointer, a palette to draw it
// through, and its PNG file.
function texturePage(id, t, params) {
  const indexed = INDEXED.has(t.format);
  const chosen = indexed && params.get("palette") ? parseId(params.get("palette")) : null;
  const palette = chosen ?? (indexed ? t.default_palette_id : null);
  const q = chosen !== null ? "?palette=" + hex8(chosen) : "";
  const url = `/api/textures/${hex8(id)}.png${q}`;
  const jpeg = t.format === "CustomRawJpeg";

  let zoom = Math.max(1, Math.min(8, Math.floor(512 / Math.max(t.width, t.height, 1))));
  const zoomText = h("span", { class: "zoom", "aria-live": "polite" });
  const img = h("img", { id: "texture-image", src: url, alt: `texture ${hex8(id)}, ${t.width}×${t.height}`, class: "pixelated" });
  const stage = h("div", { class: "stage checker" }, img);
  const readout = h("div", { class: "readout", "aria-live": "off" }, "\u00a0");
  const applyZoom = () => {
    img.style.width = t.width * zoom + "px";
    img.style.height = t.height * zoom + "px";
    zoomText.textContent = zoom + "×";
  };
  const setZoom = (z) => { zoom = Math.max(0.25, Math.min(64, z)); applyZoom(); };
  applyZoom();
  img.addEventListener("error", async () => {
    stage.replaceChildren(errorNotice("The texture cannot be drawn: " + (await imageError(url))));
  });
  // The pixel under the pointer, read from a canvas copy of the image.
  let pixels = null;
  img.addEventListener("load", () => {
    const c = document.createElement("canvas");
    c.width = img.naturalWidth;
    c.height = img.naturalHeight;
    const ctx = c.getContext("2d", { willReadFrequently: true });
    ctx.drawImage(img, 0, 0);
    pixels = ctx;
  });
  img.addEventListener("mousemove", (e) => {
    if (!pixels) return;
    const rect = img.getBoundingClientRect();
    const x = Math.floor((e.clientX - rect.left) / rect.width * img.naturalWidth);
    const y = Math.floor((e.clientY - rect.top) / rect.height * img.naturalHeight);
    if (x < 0 || y < 0 || x >= img.naturalWidth || y >= img.naturalHeight) return;
    const [r, g, b, a] = pixels.getImageData(x, y, 1, 1).data;
    readout.textContent = `x=${x} y=${y}  r=${r} g=${g} b=${b} a=${a}`;
  });
  img.addEventListener("mouseleave", () => { readout.textContent = "\u00a0"; });

  const onKey = (e) => {
    if (e.key === "+" || e.key === "=") setZoom(zoom >= 1 ? zoom + 1 : zoom * 2);
    else if (e.key === "-" || e.key === "_") setZoom(zoom > 1 ? zoom - 1 : zoom / 2);
    else if (e.key === "0") setZoom(1);
    else return false;
    return true;
  };
  pageKeys = onKey;
  cleanup.push(() => { pageKeys = null; });

  const tools = h("div", { class: "viewer-tools" },
    h("button", { type: "button", onclick: () => setZoom(zoom > 1 ? zoom - 1 : zoom / 2), "aria-label": "Zoom out" }, "−"),
    zoomText,
    h("button", { type: "button", onclick: () => setZoom(zoom >= 1 ? zoom + 1 : zoom * 2), "aria-label": "Zoom in" }, "+"),
    h("button", { type: "button", onclick: () => setZoom(1) }, "1:1"),
    h("span", { class: "spacer" }),
    indexed ? paletteChooser(id, chosen, t.default_palette_id) : null,
    h("a", { class: "button", id: "download", href: url, download: hex8(id) + (jpeg ? ".jpg" : ".png") }, jpeg ? "Download JPEG" : "Download PNG"));

  return [
    h("div", { class: "texture-layout" },
      h("section", { class: "panel" }, h("h2", {}, "Texture"), facts([
        ["Format", h("span", { class: "mono" }, `${t.format} (${t.format_raw})`)],
        ["Size", `${number(t.width)} × ${number(t.height)} pixels`],
        ["Pixel data", plural(t.length, "byte", "bytes")],
        ["_unknown", String(t._unknown)],
        indexed ? ["Default palette", t.default_palette_id !== null ? recordLink(t.default_palette_id) : "none"] : null,
        indexed ? ["Drawn with", palette !== null ? recordLink(palette) : "none"] : null,
      ]), h("p", { class: "muted hint" },
        "Zoom with ", h("kbd", {}, "+"), " and ", h("kbd", {}, "−"), ", ", h("kbd", {}, "0"),
        " for 1:1. Transparent pixels show the checkerboard; point at a pixel to read its value.")),
      h("section", { class: "panel" }, tools, stage, readout)),
  ];
}

// The palettes to pick from: the first thousand of the archive's, and any id typed in.
function paletteChooser(id, chosen, fallback) {
  const listId = "palette-ids";
  const input = h("input", { id: "palette-input", list: listId, value: chosen !== null ? hex8(chosen) : "", placeholder: fallback !== null ? hex8(fallback) + " (default)" : "palette id", autocomplete: "off", spellcheck: "false", "aria-label": "Palette id" });
  const options = h("datalist", { id: listId });
  api("/api/entries?type=0x04&limit=1000").then((r) => {
    if (r.ok) options.replaceChildren(...r.data.entries.map((e) => h("option", { value: e.id_hex })));
  });
  const use = (value) => {
    const p = value.trim() === "" ? null : parseId(value);
    if (p === null && value.trim() !== "") { input.setCustomValidity("Not an id"); input.reportValidity(); return; }
    input.setCustomValidity("");
    navigate("/records/" + hex8(id) + (p !== null && p !== fallback ? "?palette=" + hex8(p) : ""));
  };
  return h("form", { class: "palette-pick", onsubmit: (e) => { e.preventDefault(); use(input.value); } },
    h("label", { for: "palette-input" }, "Palette"), input, options,
    h("button", { type: "submit" }, "Use"),
    chosen !== null ? h("button", { type: "button", onclick: () => use("") }, "Default") : null);
}

// A palette as a grid of swatches; pointing at one or moving to it with the arrow keys shows its
// value.
function palettePage(p) {
  const readout = h("div", { class: "swatch-readout", id: "swatch-readout", "aria-live": "polite" },
    h("span", { class: "muted" }, "Point at a colour, or move with the arrow keys, to read its value."));
  const describe = (i) => {
    readout.replaceChildren(colorBox(p.colors[i], "big"), h("span", {}, `[${i}] ${colorText(p.colors[i])}`));
  };
  const buttons = p.colors.map((c, i) => {
    const inner = h("span");
    inner.style.background = colorCss(c);
    const b = h("button", { type: "button", class: "swatch checker", title: `[${i}] ${colorText(c)}`, "aria-label": `colour ${i}: ${colorText(c)}`, tabindex: i === 0 ? 0 : -1, "data-index": i }, inner);
    b.addEventListener("mouseenter", () => describe(i));
    b.addEventListener("focus", () => describe(i));
    return b;
  });
  const grid = h("div", { class: "swatches", role: "grid", id: "swatches", "aria-label": "colours" }, buttons);
  grid.addEventListener("keydown", (e) => {
    const i = Number(document.activeElement?.dataset?.index);
    if (Number.isNaN(i)) return;
    const step = { ArrowRight: 1, ArrowLeft: -1, ArrowDown: 16, ArrowUp: -16, Home: -i, End: buttons.length - 1 - i }[e.key];
    if (step === undefined) return;
    e.preventDefault();
    e.stopPropagation();
    const next = Math.max(0, Math.min(buttons.length - 1, i + step));
    buttons[i].tabIndex = -1;
    buttons[next].tabIndex = 0;
    buttons[next].focus();
  });
  const alphas = p.colors.map((c) => c >>> 24);
  const clear = alphas.filter((a) => a === 0).length;
  return h("section", { class: "panel" },
    h("h2", {}, plural(p.colors.length, "colour", "colours")),
    h("p", { class: "muted" }, p.colors.length ? `alpha from ${Math.min(...alphas)} to ${Math.max(...alphas)}, ${plural(clear, "colour", "colours")} fully transparent` : "empty"),
    readout, grid);
}

function listPage(st) {
  return h("section", { class: "panel" }, h("h2", {}, plural(st.textures.length, "texture", "textures")),
    facts([["unknown_int", String(st.unknown_int)], ["unknown_byte", String(st.unknown_byte)]]),
    h("div", { class: "gallery", id: "list-textures" }, st.textures.map((t) => {
      const tile = thumbTile(t.id);
      const img = tile.querySelector("img");
      img.src = img.dataset.src;
      return tile;
    })));
}

// A surface's fields, and its textures drawn through its palette.
async function surfacePage(s, live) {
  const refs = s.texture_refs;
  const fields = facts([
    ["surface_type", h("span", { class: "mono" }, hex8(s.surface_type))],
    ["color_value", s.color_value !== null ? h("span", { class: "mono" }, colorBox(s.color_value), colorText(s.color_value)) : h("span", { class: "muted" }, "none")],
    ["translucency", String(s.translucency)],
    ["luminosity", String(s.luminosity)],
    ["diffuse", String(s.diffuse)],
    refs ? ["orig_texture_id", h("span", {}, recordLink(refs.orig_texture_id), " ", h("span", { class: "muted" }, kindOf(refs.orig_texture_id)))] : null,
    refs ? ["orig_palette_id", h("span", {}, recordLink(refs.orig_palette_id), " ", h("span", { class: "muted" }, kindOf(refs.orig_palette_id)))] : null,
  ]);
  const out = [h("section", { class: "panel" }, h("h2", {}, "Surface"), fields)];
  if (!refs) return out;

  // The texture reference leads to a texture list (0x05) or straight to a texture.
  let textures = [refs.orig_texture_id];
  const pictures = h("div", { class: "pictures", id: "surface-textures" });
  const panel = h("section", { class: "panel" }, h("h2", {}, "Its texture through its palette"), pictures);
  out.push(panel);
  if (typeOf(refs.orig_texture_id) === 5) {
    const list = await api("/api/records/" + hex8(refs.orig_texture_id));
    if (!live()) return out;
    if (!list.ok || !list.data.record) {
      pictures.append(errorNotice(`Texture list ${hex8(refs.orig_texture_id)}: ${list.data.error ?? "not a texture list"}`));
      return out;
    }
    textures = list.data.record.textures.map((t) => t.id);
  }
  const records = await Promise.all(textures.map((t) => api("/api/records/" + hex8(t))));
  if (!live()) return out;
  textures.forEach((t, i) => {
    const r = records[i];
    if (!r.ok) { pictures.append(h("div", { class: "picture" }, errorNotice(r.data.error))); return; }
    const format = r.data.record ? r.data.record.format : "?";
    const through = INDEXED.has(format);
    const url = `/api/textures/${hex8(t)}.png` + (through ? "?palette=" + hex8(refs.orig_palette_id) : "");
    const frame = h("div", { class: "frame checker" });
    const img = h("img", { src: url, alt: "texture " + hex8(t), class: "pixelated" });
    img.addEventListener("error", async () => frame.replaceChildren(h("div", { class: "failed" }, await imageError(url))));
    frame.append(img);
    const page = "/records/" + hex8(t) + (through ? "?palette=" + hex8(refs.orig_palette_id) : "");
    pictures.append(h("figure", { class: "picture" }, h("a", { href: page }, frame),
      h("figcaption", { class: "caption" }, recordLink(t), " ", h("span", { class: "muted" }, format),
        through ? [h("br"), h("span", { class: "muted" }, "through "), recordLink(refs.orig_palette_id)] : null)));
  });
  return out;
}

// Records of other types (and those that do not decode) as a hex dump, 4 KiB at a time.
async function hexPanel(id, live) {
  const panel = h("section", { class: "panel" }, h("h2", {}, "Bytes"));
  let data;
  try {
    const res = await fetch(`/api/records/${hex8(id)}/raw`);
    if (!res.ok) {
      panel.append(errorNotice((await res.json()).error));
      return panel;
    }
    data = new Uint8Array(await res.arrayBuffer());
  } catch (e) {
    panel.append(errorNotice(e.message));
    return panel;
  }
  if (!live()) return panel;
  const pre = h("pre", { class: "hex", id: "hexdump" });
  const more = h("button", { type: "button" }, "Show more");
  let shown = 0;
  const step = 4096;
  const add = () => {
    const end = Math.min(data.length, shown + step);
    for (let off = shown; off < end; off += 16) {
      const row = data.subarray(off, Math.min(end, off + 16));
      let hexText = "", ascii = "";
      for (let i = 0; i < 16; i++) {
        hexText += i < row.length ? row[i].toString(16).padStart(2, "0") + " " : "   ";
        if (i === 7) hexText += " ";
        if (i < row.length) ascii += row[i] >= 0x20 && row[i] < 0x7f ? String.fromCharCode(row[i]) : ".";
      }
      pre.append(h("span", { class: "off" }, off.toString(16).padStart(8, "0")), "  " + hexText + " ",
        h("span", { class: "asc" }, "|" + ascii + "|"), "\n");
    }
    shown = end;
    if (shown >= data.length) more.remove();
    else more.textContent = `Show more (${bytes(data.length - shown)} left)`;
  };
  more.addEventListener("click", add);
  add();
  pre.append(h("span", { class: "off" }, data.length.toString(16).padStart(8, "0")), "\n");
  panel.append(h("p", { class: "muted" }, plural(data.length, "byte", "bytes")), pre, shown < data.length ? more : null);
  return panel;
}

// ---------------------------------------------------------------------------------------------
// Keyboard and the go-to box

const gotoForm = document.getElementById("goto");
const gotoInput = document.getElementById("goto-id");
gotoForm.addEventListener("submit", (e) => {
  e.preventDefault();
  const range = parseIdOrRange(gotoInput.value);
  if (range === null || range.from === null) {
    gotoInput.setCustomValidity("An id (0x06000C30 or decimal) or a range FROM-TO");
    gotoInput.reportValidity();
    return;
  }
  gotoInput.setCustomValidity("");
  gotoInput.blur();
  if (range.from === range.to) navigate("/records/" + hex8(range.from));
  else navigate("/entries?ids=" + encodeURIComponent(hex8(range.from) + "-" + hex8(range.to)));
  gotoInput.value = "";
});
gotoInput.addEventListener("input", () => gotoInput.setCustomValidity(""));

document.addEventListener("keydown", (e) => {
  const t = e.target;
  const typing = t instanceof HTMLInputElement || t instanceof HTMLSelectElement || t instanceof HTMLTextAreaElement;
  if (e.key === "Escape" && typing) { t.blur(); return; }
  if (typing || e.ctrlKey || e.metaKey || e.altKey) return;
  if (e.key === "/") { e.preventDefault(); gotoInput.focus(); gotoInput.select(); return; }
  if (pageKeys && pageKeys(e)) e.preventDefault();
});

render();
