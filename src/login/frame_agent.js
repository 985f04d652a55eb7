// Login agent: one in every frame of the browser pane, in the application's isolated
// world, from the moment the frame's document is created. It announces the frame, and
// when the login driver hands it a login job it finds the login form of its own
// document (waiting for fields that appear later), fills it the way a person would and
// submits it. The driver reaches the top frame's agent directly; the top agent passes
// a job on to a child frame with postMessage to the exact origin the child announced,
// which the browser delivers only while that frame holds that origin.
//
// Reports go out as console messages "tmbl-agent:<secret>:<json>". The secret is put
// into this source when the program starts; page scripts can copy the source id of our
// console messages, but not read this world's code, so a report without it is forged.
(function () {
    'use strict';
    if (globalThis.__tmblAgent) return;
    const SECRET = '@SECRET@';
    const isTop = window.top === window;
    const docId = (() => {
        const bytes = new Uint8Array(8);
        crypto.getRandomValues(bytes);
        return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
    })();
    // This world's own setters: the page can neither replace nor watch them.
    const valueSetter = Object.getOwnPropertyDescriptor(HTMLInputElement.prototype, 'value').set;
    const SUBMIT_WORDS = /登\s*录|登入|log\s*in|sign\s*in|next|下一步|继续|continue|submit|确定|提交/i;
    const SUBMIT_NAMES = /login|signin|sign-in|submit|next|dologin/i;
    const USER_HINTS = /user|login|email|mail|account|acct|ident|loginfmt|uin|phone|mobile|name/i;

    let job = null;
    let observer = null;
    let reportedForm = false;
    let submitted = false;  // a document submits its login once

    // The frame's place below the top: the index among its parent's frames, level by
    // level. Window objects of other origins can still be compared and indexed.
    function framePath() {
        const path = [];
        let w = window;
        while (w !== w.parent) {
            const parent = w.parent;
            let index = -1;
            for (let i = 0; i < parent.length; ++i) {
                if (parent[i] === w) {
                    index = i;
                    break;
                }
            }
            path.unshift(index);
            w = parent;
        }
        return path;
    }

    function report(kind, extra) {
        const message = Object.assign({ kind: kind, doc: docId, top: isTop, origin: location.origin, path: framePath() },
            extra || {});
        console.log('tmbl-agent:' + SECRET + ':' + JSON.stringify(message));
    }

    // ---- What a person could see and use

    function hiddenByStyle(el) {
        for (let e = el; e; e = e.parentElement) {
            if (e.hidden || e.inert || e.getAttribute('aria-hidden') === 'true') return true;
            const style = getComputedStyle(e);
            if (style.display === 'none' || parseFloat(style.opacity) === 0) return true;
            if (e === el) {
                if (style.visibility === 'hidden' || style.visibility === 'collapse') return true;
                if (style.clip === 'rect(0px, 0px, 0px, 0px)') return true;
            }
        }
        return false;
    }

    function onScreen(el) {
        const r = el.getBoundingClientRect();
        if (r.width < 2 || r.height < 2) return false;
        const root = document.documentElement;
        const width = Math.max(root.scrollWidth, innerWidth), height = Math.max(root.scrollHeight, innerHeight);
        const left = r.left + scrollX, top = r.top + scrollY;
        return left + r.width > 0 && top + r.height > 0 && left < width && top < height;
    }

    function usable(el) {
        if (!el || !el.isConnected || el.disabled) return false;
        if (el instanceof HTMLInputElement && el.readOnly) return false;
        return onScreen(el) && !hiddenByStyle(el);
    }

    function isPasswordInput(el) { return el instanceof HTMLInputElement && el.type === 'password' && usable(el); }
    function isTextInput(el) {
        return el instanceof HTMLInputElement && (el.type === 'text' || el.type === 'email' || el.type === 'tel') &&
            usable(el);
    }

    function first(selector, test) {
        if (!selector) return null;
        let found = [];
        try { found = document.querySelectorAll(selector); } catch (e) { return null; }
        for (const el of found) if (test(el)) return el;
        return null;
    }

    function precedes(a, b) { return (a.compareDocumentPosition(b) & Node.DOCUMENT_POSITION_FOLLOWING) !== 0; }

    // The user field of a password field: the last text input before it, in its form
    // when it has one.
    function userBefore(password) {
        for (const root of [password.form, document]) {
            if (!root) continue;
            let last = null;
            for (const el of root.querySelectorAll('input')) {
                if (!precedes(el, password)) break;
                if (isTextInput(el)) last = el;
            }
            if (last) return last;
        }
        return null;
    }

    // A lone user field of an identifier-first step: named or typed as one, never just
    // any text box (a search box is not a login).
    function identifierField() {
        for (const el of document.querySelectorAll('input')) {
            if (!isTextInput(el)) continue;
            const hints = [el.name, el.id, el.autocomplete, el.getAttribute('aria-label') || ''].join(' ');
            if (el.type === 'email' || USER_HINTS.test(hints)) return el;
        }
        return null;
    }

    function findFields(recipe) {
        const password = first(recipe.password, isPasswordInput) || first('input[type=password]', isPasswordInput);
        let user = first(recipe.user, isTextInput);
        if (!user && password) user = userBefore(password);
        if (!user && !password) user = identifierField();
        return { user: user, password: password };
    }

    function labelOf(c) {
        return [c.value || '', c.textContent || '', c.getAttribute('aria-label') || '', c.title || ''].join(' ');
    }
    function namedLikeSubmit(c) {
        return SUBMIT_WORDS.test(labelOf(c)) || SUBMIT_NAMES.test((c.id || '') + ' ' + (c.className || ''));
    }
    function controlsIn(root) {
        const found = [];
        for (const c of root.querySelectorAll(
            'button, input[type=submit], input[type=button], input[type=image], a, [role=button]')) {
            if (c.type === 'reset' || !usable(c)) continue;
            found.push(c);
        }
        return found;
    }
    function isSubmitType(c) {
        return (c instanceof HTMLButtonElement && c.type === 'submit') ||
            (c instanceof HTMLInputElement && (c.type === 'submit' || c.type === 'image'));
    }

    // The control a person would press after filling the field: the form's submit
    // button; else a button, a link or a role=button element after the field that says
    // it logs in or goes on.
    function submitControlFor(field) {
        if (field.form) {
            const controls = controlsIn(field.form);
            const submit = controls.find(isSubmitType);
            if (submit) return submit;
            const named = controls.find(namedLikeSubmit);
            if (named) return named;
        }
        for (let box = field.parentElement; box && box !== document.documentElement; box = box.parentElement) {
            const after = controlsIn(box).filter((c) => precedes(field, c));
            const named = after.find(namedLikeSubmit);
            if (named) return named;
            const button = after.find((c) => !(c instanceof HTMLAnchorElement));
            if (button) return button;
        }
        return null;
    }

    // ---- Acting like a person

    function typeInto(el, text) {
        el.focus();
        valueSetter.call(el, '');
        el.dispatchEvent(new InputEvent('input', { bubbles: true, inputType: 'deleteContentBackward' }));
        let typed = '';
        for (const ch of text) {
            const key = { key: ch, bubbles: true, cancelable: true };
            el.dispatchEvent(new KeyboardEvent('keydown', key));
            el.dispatchEvent(new KeyboardEvent('keypress', key));
            typed += ch;
            valueSetter.call(el, typed);
            el.dispatchEvent(new InputEvent('input', { bubbles: true, inputType: 'insertText', data: ch }));
            el.dispatchEvent(new KeyboardEvent('keyup', key));
        }
        el.dispatchEvent(new Event('change', { bubbles: true }));
    }

    function press(el) {
        const r = el.getBoundingClientRect();
        const at = { bubbles: true, cancelable: true, composed: true, view: window, button: 0,
            clientX: r.left + r.width / 2, clientY: r.top + r.height / 2 };
        el.dispatchEvent(new PointerEvent('pointerdown', at));
        el.dispatchEvent(new MouseEvent('mousedown', at));
        if (typeof el.focus === 'function') el.focus();
        el.dispatchEvent(new PointerEvent('pointerup', at));
        el.dispatchEvent(new MouseEvent('mouseup', at));
        el.click();
    }

    // A page that takes only real clicks ignores the ones above. When the document shows
    // no reaction at all (no change, no navigation) a little while after the press, the
    // driver is asked for a real click at the control's place; it also makes sure the
    // frame sent nothing since the press (a page may submit by script and show nothing
    // until the answer is in).
    const NO_REACTION_MS = 400;
    // The engine now and then loses a click it was given (seen here in two runs out of
    // eleven, on a control in a frame of another origin): asked again, a few times,
    // while no real press has reached the control.
    const REAL_CLICK_WAIT_MS = 500;
    const REAL_CLICK_TRIES = 3;
    let leaving = false;
    addEventListener('beforeunload', () => { leaving = true; }, true);
    addEventListener('pagehide', () => { leaving = true; }, true);

    function pressWatched(el) {
        let reacted = false;
        const watch = new MutationObserver(() => { reacted = true; });
        watch.observe(document, { childList: true, subtree: true, attributes: true, characterData: true });
        // By the system clock, which the driver reads too (this world's Date is its own).
        const pressedAt = Date.now();
        press(el);
        setTimeout(() => {
            watch.disconnect();
            if (reacted || leaving || !usable(el)) return;
            askRealClickOn(el, pressedAt, REAL_CLICK_TRIES);
        }, NO_REACTION_MS);
    }

    function askRealClickOn(el, pressedAt, tries) {
        let arrived = false;
        const seen = (event) => {
            if (event.isTrusted && el.contains(event.target)) arrived = true;
        };
        addEventListener('mousedown', seen, true);
        const r = el.getBoundingClientRect();
        askRealClick({ x: r.left + r.width / 2, y: r.top + r.height / 2, from: docId, pressedAt: pressedAt });
        setTimeout(() => {
            removeEventListener('mousedown', seen, true);
            if (arrived || leaving || !usable(el) || tries <= 1) return;
            askRealClickOn(el, pressedAt, tries - 1);
        }, REAL_CLICK_WAIT_MS);
    }

    // The top frame's agent reports the place in the page's coordinates; a frame's agent
    // hands it to its parent, which adds where the frame sits in it.
    function askRealClick(place) {
        if (isTop) report('realClick', place);
        else window.parent.postMessage({ tmblAgent: 1, realClick: place }, '*');
    }

    function passRealClickUp(event) {
        let frame = null;
        for (const f of document.querySelectorAll('iframe, frame')) {
            if (f.contentWindow === event.source) {
                frame = f;
                break;
            }
        }
        if (!frame) return;
        event.stopImmediatePropagation();
        const r = frame.getBoundingClientRect();
        const style = getComputedStyle(frame);
        const place = event.data.realClick;
        askRealClick({ x: Number(place.x) + r.left + frame.clientLeft + parseFloat(style.paddingLeft || '0'),
            y: Number(place.y) + r.top + frame.clientTop + parseFloat(style.paddingTop || '0'),
            from: String(place.from), pressedAt: Number(place.pressedAt) });
    }

    // What pressing Enter in the field does: the page's own key handlers first, then
    // the form's submission when no handler took the key.
    function pressEnter(field) {
        const key = { key: 'Enter', code: 'Enter', keyCode: 13, which: 13, bubbles: true, cancelable: true };
        const taken = !field.dispatchEvent(new KeyboardEvent('keydown', key));
        field.dispatchEvent(new KeyboardEvent('keypress', key));
        field.dispatchEvent(new KeyboardEvent('keyup', key));
        if (taken || !field.form) return;
        if (typeof field.form.requestSubmit === 'function') field.form.requestSubmit();
        else field.form.submit();
    }

    // ---- The job

    function finish() {
        if (observer) observer.disconnect();
        observer = null;
        if (job) job.password = job.user = '';
        job = null;
    }

    function step() {
        if (!job || job.acting) return;
        job.acting = true;
        try {
            act(job);
        } finally {
            if (job) job.acting = false;
        }
    }

    function act(current) {
        const recipe = current.recipe;
        const fields = findFields(recipe);
        if ((fields.user || fields.password) && !reportedForm) {
            reportedForm = true;
            report('form');
        }
        if (fields.password) {
            if (fields.user && !current.userTyped && fields.user.value !== current.user) {
                typeInto(fields.user, current.user);
            }
            typeInto(fields.password, current.password);
            const control = first(recipe.submit, usable) || submitControlFor(fields.password);
            finish();
            submitted = true;
            report('submitted');
            if (control) pressWatched(control);
            else pressEnter(fields.password);
            return;
        }
        if (!current.revealed) {
            const reveal = first(recipe.reveal, usable);
            if (reveal) {
                current.revealed = true;
                press(reveal);
                return;
            }
        }
        if (fields.user && !current.userDone && !current.userTyped) {
            current.userTyped = true;
            typeInto(fields.user, current.user);
            const next = first(recipe.next, usable) || submitControlFor(fields.user);
            report('user');
            if (next) pressWatched(next);
            else pressEnter(fields.user);
        }
    }

    function start(given) {
        finish();
        if (submitted) return;
        job = { user: String(given.user), password: String(given.password), recipe: given.recipe || {},
            userDone: !!given.userDone, userTyped: false, revealed: false, acting: false };
        // Fields created or shown later: every change of the document looks again, no
        // polling. Changes of style that run as transitions end with an event instead.
        observer = new MutationObserver(step);
        observer.observe(document, { childList: true, subtree: true, attributes: true,
            attributeFilter: ['style', 'class', 'hidden', 'disabled', 'type', 'aria-hidden', 'readonly'] });
        step();
    }

    function handle(command) {
        if (!command) return;
        if (command.announce) {
            report('hello');
            return;
        }
        if (command.doc !== docId) return;  // meant for a document now gone
        if (command.cancel) finish();
        else if (command.job) start(command.job);
    }

    window.addEventListener('message', (event) => {
        const data = event.data;
        if (!data || data.tmblAgent !== 1) return;
        if (data.realClick) {
            passRealClickUp(event);
            return;
        }
        if (isTop || event.source !== window.top) return;
        // Ours: the frame's own listeners have no business with it.
        event.stopImmediatePropagation();
        handle(data);
    }, true);
    ['transitionend', 'animationend'].forEach((name) => document.addEventListener(name, step, true));

    globalThis.__tmblAgent = Object.freeze({
        isUsablePassword: isPasswordInput,
        // Every frame says hello again, for a driver that came after the first ones.
        announce() {
            if (!isTop) return;
            report('hello');
            (function down(win) {
                for (let i = 0; i < win.length; ++i) {
                    win[i].postMessage({ tmblAgent: 1, announce: true }, '*');
                    down(win[i]);
                }
            })(window);
        },
        // Called by the driver in the top frame: run the command here, or pass it to the
        // frame at the path, only while that frame holds the origin.
        command(command) {
            if (!isTop || !command) return false;
            const path = command.path || [];
            if (path.length === 0) {
                if (command.origin !== location.origin) return false;
                handle(command);
                return true;
            }
            let target = window;
            for (const index of path) {
                target = index >= 0 && target ? target[index] : null;
                if (!target) return false;
            }
            target.postMessage({ tmblAgent: 1, doc: command.doc, job: command.job, cancel: command.cancel },
                command.origin);
            return true;
        },
    });
    report('hello');
    // What the driver needs to know, as soon as the page is complete, to tell whether the
    // provider's fill rule could act on this document at all: a password field a person
    // could type into, and a button to click.
    if (isTop) {
        addEventListener('load', () => {
            let passwords = 0;
            for (const el of document.querySelectorAll('input[type=password]')) if (isPasswordInput(el)) ++passwords;
            const buttons = document.querySelectorAll(
                'button, input[type=button], input[type=submit], input[type=reset]').length;
            report('loaded', { passwords: passwords, buttons: buttons });
        });
    }
})();
