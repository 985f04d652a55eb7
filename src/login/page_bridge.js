// Page side of the dispatch bridge. It runs in the application's isolated world: it
// shares the DOM with the page but not the page's globals, so the page can neither see
// nor replace anything defined here. The program addresses objects by ids of the
// registry below; the registry lives and dies with this document's world, and every id
// carries the token of the world that issued it, so an id can never reach into a later
// document.
//
// Every entry point returns plain arrays of numbers, texts and booleans; the program
// turns them into its typed values. Status codes: 0 success, -3 no such member,
// -5 too many arguments, -7 an argument that cannot be passed, -8 the result cannot be
// converted, -11 the page raised an exception, -18 anything else.
(function () {
    'use strict';
    if (globalThis.__tmblBridge) return globalThis.__tmblBridge;

    const OK = 0, NO_MEMBER = -3, TOO_MANY = -5, BAD_ARG = -7, NO_CONVERSION = -8, RAISED = -11, OTHER = -18;
    const DAY_MS = 86400000;
    const EPOCH_DAYS = 25569;  // days from 1899-12-30 to 1970-01-01

    const token = (() => {
        const bytes = new Uint8Array(12);
        crypto.getRandomValues(bytes);
        return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
    })();
    const registry = new Map();
    let nextId = 1;

    function hold(value) {
        const id = nextId++;
        registry.set(id, value);
        return id;
    }

    // Host objects ("document.all") may report typeof 'undefined'; only the two real
    // empty values count as empty.
    function isEmptyValue(v) { return v === undefined || v === null; }
    function isObjectValue(v) {
        if (isEmptyValue(v)) return false;
        const t = typeof v;
        return t === 'object' || t === 'function' || t === 'undefined';
    }

    function toDays(date) {
        const ms = date.getTime() - date.getTimezoneOffset() * 60000;
        return ms / DAY_MS + EPOCH_DAYS;
    }
    function fromDays(days) {
        const utcMs = (days - EPOCH_DAYS) * DAY_MS;
        const probe = new Date(utcMs);
        return new Date(utcMs + probe.getTimezoneOffset() * 60000);
    }

    // ---- The old engine's members, provided here so that the callers' algorithms can
    // stay as they are.

    // A collection with item/length/tags, over a live DOM collection or a fixed array.
    class ElementList {
        constructor(source) { this._source = source; }
        _items() { return typeof this._source === 'function' ? this._source() : this._source; }
        get length() { return this._items().length; }
        item(index) { return itemOf(this._items(), index); }
        tags(tag) { return tagsOf(this._items(), tag); }
    }

    function itemOf(list, index) {
        const i = Math.trunc(Number(index));
        if (!(i >= 0) || i >= list.length) return null;
        return list[i] === undefined ? null : list[i];
    }

    function tagsOf(list, tag) {
        const wanted = String(tag).toLowerCase();
        const found = [];
        for (let i = 0; i < list.length; ++i) {
            const e = list[i];
            if (e && typeof e.tagName === 'string' && e.tagName.toLowerCase() === wanted) found.push(e);
        }
        return new ElementList(found);
    }

    function allOf(root) {
        const live = root.getElementsByTagName('*');
        const list = new ElementList(live);
        // tags() on the whole subtree is the engine's own tag query, which stays live.
        list.tags = (tag) => new ElementList(root.getElementsByTagName(String(tag)));
        return list;
    }

    // window.frames is the window itself nowadays; the old collection had item/length.
    class FrameList {
        constructor(win) { this._win = win; }
        get length() { return this._win ? this._win.length : 0; }
        item(index) {
            const i = Math.trunc(Number(index));
            if (!this._win || !(i >= 0) || i >= this._win.length) return null;
            return this._win[i];
        }
    }

    function execScript(win, code, language) {
        const lang = language === undefined ? 'JavaScript' : String(language).toLowerCase();
        if (lang !== 'javascript' && lang !== 'jscript' && lang !== 'javascript1.2') {
            throw new Error('script language not available: ' + language);
        }
        // A script element runs in the page's own world, where its functions take effect.
        const doc = win.document;
        const script = doc.createElement('script');
        script.text = String(code);
        (doc.head || doc.documentElement).appendChild(script);
        script.remove();
        return null;
    }

    function createPopup(win) {
        const doc = win.document;
        const body = doc.createElement('div');
        body.setAttribute('data-tmbl-popup', '');
        body.style.position = 'fixed';
        body.style.display = 'none';
        body.style.overflow = 'hidden';
        body.style.zIndex = '2147483647';
        body.style.boxSizing = 'border-box';
        (doc.body || doc.documentElement).appendChild(body);
        return {
            document: { body: body },
            isOpen: false,
            show(x, y, width, height, owner) {
                let left = Number(x) || 0, top = Number(y) || 0;
                if (owner && typeof owner.getBoundingClientRect === 'function') {
                    const r = owner.getBoundingClientRect();
                    left += r.left;
                    top += r.top;
                }
                body.style.left = left + 'px';
                body.style.top = top + 'px';
                body.style.width = (Number(width) || 0) + 'px';
                body.style.height = (Number(height) || 0) + 'px';
                body.style.display = 'block';
                this.isOpen = true;
            },
            hide() {
                body.style.display = 'none';
                this.isOpen = false;
            },
        };
    }

    function rangeObject(range) {
        return {
            get text() { return range.toString(); },
            get htmlText() {
                const box = document.createElement('div');
                box.appendChild(range.cloneContents());
                return box.innerHTML;
            },
            pasteHTML(html) {
                range.deleteContents();
                range.insertNode(range.createContextualFragment(String(html)));
            },
        };
    }

    function selectionObject(doc) {
        return {
            get type() {
                const sel = doc.getSelection();
                return sel && sel.rangeCount > 0 && !sel.isCollapsed ? 'Text' : 'None';
            },
            createRange() {
                const sel = doc.getSelection();
                if (!sel || sel.rangeCount === 0) return null;
                return rangeObject(sel.getRangeAt(0));
            },
        };
    }

    function isCollection(obj) {
        return obj instanceof ElementList || obj instanceof FrameList || obj instanceof HTMLCollection ||
            obj instanceof NodeList || obj instanceof HTMLAllCollection || Array.isArray(obj);
    }

    // A mapped member: {get} for a property, {call, arity} for a method. Looked up by
    // lower-cased name, as the old engine bound names without regard to case.
    function mappedMember(obj, lname, argCount) {
        const isDoc = obj instanceof Document;
        let isWin = false;
        try { isWin = obj === obj.window; } catch (e) { isWin = false; }
        switch (lname) {
        case 'all':
            if (isDoc || obj instanceof Element) return { get: () => allOf(obj) };
            break;
        case 'tags':
            if (isCollection(obj) && !(obj instanceof ElementList)) return { call: (tag) => tagsOf(obj, tag), arity: 1 };
            break;
        case 'item':
            // item() without an argument gives the first entry.
            if (isCollection(obj) && argCount === 0) {
                const own = obj instanceof ElementList || obj instanceof FrameList;
                return { call: () => (own ? obj.item(0) : itemOf(obj, 0)), arity: 0 };
            }
            if (Array.isArray(obj)) return { call: (i) => itemOf(obj, i), arity: 1 };
            break;
        case 'frames':
            if (isDoc) return { get: () => new FrameList(obj.defaultView) };
            if (isWin) return { get: () => new FrameList(obj) };
            break;
        case 'parentwindow':
            if (isDoc) return { get: () => obj.defaultView };
            break;
        case 'document':
            if (obj instanceof Node && !isDoc) return { get: () => obj.ownerDocument };
            break;
        case 'execscript':
            if (isWin) return { call: (code, language) => execScript(obj, code, language), arity: 2 };
            break;
        case 'createpopup':
            if (isWin) return { call: () => createPopup(obj), arity: 0 };
            break;
        case 'navigate':
            if (isWin) return { call: (address) => { obj.location.assign(String(address)); return null; }, arity: 1 };
            break;
        case 'cells':
            if (obj instanceof HTMLTableElement) {
                return { get: () => new ElementList(() => Array.from(obj.rows).flatMap((row) => Array.from(row.cells))) };
            }
            break;
        case 'selection':
            if (isDoc) return { get: () => selectionObject(obj) };
            break;
        }
        return null;
    }

    const nameCache = new WeakMap();

    function findKey(obj, name) {
        if (name in obj) return name;
        const lname = name.toLowerCase();
        for (let p = obj; p; p = Object.getPrototypeOf(p)) {
            let names = nameCache.get(p);
            if (!names) {
                names = new Map();
                for (const k of Object.getOwnPropertyNames(p)) {
                    const lk = k.toLowerCase();
                    if (!names.has(lk)) names.set(lk, k);
                }
                // Named properties of documents and forms change with the page; cache
                // only prototypes.
                if (p !== obj) nameCache.set(p, names);
            }
            const k = names.get(lname);
            if (k !== undefined) return k;
        }
        return null;
    }

    function descriptorOf(obj, key) {
        for (let p = obj; p; p = Object.getPrototypeOf(p)) {
            const d = Object.getOwnPropertyDescriptor(p, key);
            if (d) return d;
        }
        return null;
    }

    // Binds a name on an object for one invoke kind order. Returns
    // {kind: 'get'|'put'|'method', fn?, key?, arity?} or null.
    function bind(obj, name, op, argCount) {
        const mapped = mappedMember(obj, name.toLowerCase(), argCount);
        if (mapped) return bindMapped(mapped, op);
        const key = findKey(obj, name);
        if (key === null) return null;
        const allowed = allowedKinds(descriptorOf(obj, key));
        const kind = kindOrder(op).find((k) => allowed[k]);
        return kind ? { kind, key } : null;
    }

    // A member the bridge provides itself: a property can be read, not written.
    function bindMapped(mapped, op) {
        if (!mapped.get) return { kind: 'method', fn: mapped.call, arity: mapped.arity };
        return op === 'write' ? null : { kind: 'get', fn: mapped.get, arity: 0 };
    }

    // The invoke kinds an operation tries, first to last.
    function kindOrder(op) {
        switch (op) {
        case 'read': return ['get', 'method'];
        case 'write': return ['put', 'method'];
        }
        return ['method', 'get', 'put'];
    }

    // What the property behind a descriptor (null: none found, a plain slot) allows.
    function allowedKinds(d) {
        const isMethod = d !== null && 'value' in d && typeof d.value === 'function';
        const settable = d === null || d.set !== undefined || d.writable === true;
        return { method: isMethod, get: !isMethod, put: !isMethod && settable };
    }

    function argValue(a) {
        switch (a[0]) {
        case 'm': return { ok: true, v: undefined };
        case 'e': return { ok: true, v: undefined };
        case 'z': return { ok: true, v: null };
        case 's': case 'n': case 'b': return { ok: true, v: a[1] };
        case 'd': return { ok: true, v: fromDays(a[1]) };
        case 'o': {
            if (a[1] === 0) return { ok: true, v: null };
            if (a[2] !== token || !registry.has(a[1])) return { ok: false };
            return { ok: true, v: registry.get(a[1]) };
        }
        }
        return { ok: false };
    }

    // Performs one call; returns [status, raw value].
    function invokeRaw(obj, op, name, args) {
        const b = bind(obj, name, op, args.length);
        if (!b) return [NO_MEMBER, undefined];
        if (b.kind === 'get') {
            if (args.length > 0) return [TOO_MANY, undefined];
            return [OK, b.fn ? b.fn() : obj[b.key]];
        }
        if (b.kind === 'put') {
            if (args.length !== 1) return [args.length > 1 ? TOO_MANY : OTHER, undefined];
            obj[b.key] = args[0];
            return [OK, undefined];
        }
        if (b.fn) {
            if (args.length > b.arity) return [TOO_MANY, undefined];
            return [OK, b.fn(...args)];
        }
        return [OK, obj[b.key](...args)];
    }

    // ---- Result conversion

    function numberOf(v) {
        if (v === undefined) return [OK, 0];
        if (typeof v === 'boolean') return [OK, v ? -1 : 0];  // the old engine's true
        if (typeof v === 'number') return [OK, v];
        if (typeof v === 'bigint') return [OK, Number(v)];
        if (typeof v === 'string') {
            const s = v.trim();
            const n = s === '' ? NaN : Number(s);
            return Number.isNaN(n) ? [NO_CONVERSION, 0] : [OK, n];
        }
        if (v instanceof Date) return [OK, toDays(v)];
        return [NO_CONVERSION, 0];
    }

    function textOf(v) {
        if (isEmptyValue(v)) return [OK, ''];
        if (typeof v === 'string') return [OK, v];
        if (typeof v === 'boolean') return [OK, v ? '-1' : '0'];
        if (typeof v === 'number' || typeof v === 'bigint') return [OK, String(v)];
        if (v instanceof Date) return [OK, v.toString()];
        // An object's default value: links and locations give their address.
        let s;
        try { s = String(v); } catch (e) { return [NO_CONVERSION, '']; }
        if (/^\[object [A-Za-z0-9_]*\]$/.test(s)) return [NO_CONVERSION, ''];
        return [OK, s];
    }

    function boolOf(v) {
        if (v === undefined) return [OK, false];
        if (typeof v === 'boolean') return [OK, v];
        if (typeof v === 'string') {
            const l = v.trim().toLowerCase();
            if (l === 'true') return [OK, true];
            if (l === 'false') return [OK, false];
        }
        const [s, n] = numberOf(v);
        return s === OK ? [OK, n !== 0] : [NO_CONVERSION, false];
    }

    function dateOf(v) {
        if (v instanceof Date) return [OK, toDays(v)];
        if (typeof v === 'number') return [OK, v];
        if (typeof v === 'string') {
            const ms = Date.parse(v);
            return Number.isNaN(ms) ? [NO_CONVERSION, 0] : [OK, toDays(new Date(ms))];
        }
        return [NO_CONVERSION, 0];
    }

    function variantOf(v) {
        if (v === undefined) return ['e'];
        if (v === null) return ['z'];
        if (typeof v === 'boolean') return ['b', v];
        if (typeof v === 'number') return ['n', v];
        if (typeof v === 'bigint') return ['n', Number(v)];
        if (typeof v === 'string') return ['s', v];
        if (v instanceof Date) return ['d', toDays(v)];
        return ['o', hold(v)];
    }

    function convert(v, want) {
        switch (want) {
        case 'none': return [OK, null];
        case 'text': return textOf(v);
        case 'number': return numberOf(v);
        case 'bool': return boolOf(v);
        case 'date': return dateOf(v);
        case 'object':
            if (isEmptyValue(v)) return [OK, 0];
            return isObjectValue(v) ? [OK, hold(v)] : [NO_CONVERSION, 0];
        case 'variant': return [OK, variantOf(v)];
        }
        return [OTHER, null];
    }

    // ---- Entry points

    function invoke(tok, id, op, name, args, want) {
        if (tok !== token || !registry.has(id)) return [OTHER, null, 'gone'];
        const obj = registry.get(id);
        if (!isObjectValue(obj)) return [OTHER, null];
        const values = [];
        for (const a of args) {
            const r = argValue(a);
            if (!r.ok) return [BAD_ARG, null];
            values.push(r.v);
        }
        let status, raw;
        try {
            [status, raw] = invokeRaw(obj, op, String(name), values);
        } catch (e) {
            return [RAISED, null, String(e && e.message !== undefined ? e.message : e)];
        }
        if (status !== OK) return [status, null];
        try {
            return convert(raw, want);
        } catch (e) {
            return [RAISED, null, String(e && e.message !== undefined ? e.message : e)];
        }
    }

    function release(tok, ids) {
        if (tok !== token) return;
        for (const id of ids) registry.delete(id);
    }

    function same(tok, a, b) {
        if (tok !== token || !registry.has(a) || !registry.has(b)) return false;
        return registry.get(a) === registry.get(b);
    }

    // The form element scan, in one round trip: the same reads, in the same order and
    // with the same conversions, that a walk by single calls would make. A read that
    // fails yields an empty object or a count of 0 and the walk goes on.
    const LISTS = ['div', 'button', 'table', 'radio', 'checkbox', 'textBox', 'select', 'link', 'hidden',
        'image', 'textarea', 'frame', 'form'];
    const TAG_ROWS = [['form', 'form'], ['image', 'image'], ['button', 'button'], ['table', 'table'],
        ['select', 'select'], ['textarea', 'textarea'], ['a', 'link'], ['div', 'div']];

    function classify(type) {
        switch (type) {
        case 'button': case 'submit': case 'reset': return 'button';
        case 'radio': return 'radio';
        case 'checkbox': return 'checkbox';
        case 'text': case 'password': case 'file': return 'textBox';
        case 'hidden': return 'hidden';
        case 'image': return 'image';
        }
        return null;
    }

    function quiet(obj, op, name, args, want) {
        if (!isObjectValue(obj)) return want === 'object' ? null : want === 'number' ? 0 : '';
        try {
            const [status, raw] = invokeRaw(obj, op, name, args);
            if (status !== OK) return want === 'object' ? null : want === 'number' ? 0 : '';
            if (want === 'object') return isObjectValue(raw) ? raw : null;
            const [s, v] = want === 'number' ? numberOf(raw) : textOf(raw);
            return s === OK ? v : (want === 'number' ? 0 : '');
        } catch (e) {
            return want === 'object' ? null : want === 'number' ? 0 : '';
        }
    }

    function count(collection) {
        const n = Math.trunc(quiet(collection, 'read', 'length', [], 'number'));
        return Number.isFinite(n) ? n : 0;
    }

    function scan(tok, docId) {
        if (tok !== token || !registry.has(docId)) return null;
        const doc = registry.get(docId);
        const lists = {};
        for (const name of LISTS) lists[name] = [];

        const body = quiet(doc, 'read', 'body', [], 'object');
        const all = quiet(body, 'read', 'all', [], 'object');
        const inputs = quiet(all, 'call', 'tags', ['input'], 'object');
        const inputCount = count(inputs);
        for (let i = 1; i <= inputCount; ++i) {
            const element = quiet(inputs, 'call', 'item', [i - 1], 'object');
            const list = classify(quiet(element, 'read', 'type', [], 'text'));
            if (list && element) lists[list].push(hold(element));
        }

        const frameCount = count(quiet(doc, 'read', 'frames', [], 'object'));
        for (let i = 1; i <= frameCount; ++i) {
            const frames = quiet(doc, 'read', 'frames', [], 'object');
            const frame = quiet(frames, 'call', 'item', [i - 1], 'object');
            if (frame) lists.frame.push(hold(frame));
        }

        for (const [tag, list] of TAG_ROWS) {
            const collection = quiet(all, 'call', 'tags', [tag], 'object');
            const n = count(collection);
            for (let i = 1; i <= n; ++i) {
                const item = quiet(collection, 'call', 'item', [i - 1], 'object');
                if (item) lists[list].push(hold(item));
            }
        }
        let href = '';
        try { href = String(doc.URL); } catch (e) { href = ''; }
        return [href, LISTS.map((name) => lists[name])];
    }

    function attach() {
        return [token, hold(document)];
    }

    // Whether the element is a password input a person could see and type into, by the
    // login agent's own rules (it shares this world in the top frame).
    function usablePassword(tok, id) {
        if (tok !== token || !registry.has(id)) return false;
        const agent = globalThis.__tmblAgent;
        return !!agent && agent.isUsablePassword(registry.get(id));
    }

    const bridge = Object.freeze({ token, invoke, release, same, scan, attach, usablePassword,
        size: () => registry.size });
    Object.defineProperty(globalThis, '__tmblBridge', { value: bridge, writable: false, configurable: false });
    return bridge;
})()
