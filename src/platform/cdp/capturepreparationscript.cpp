#include "platform/cdp/capturepreparationscript.h"

namespace snapvel::cdp {

const char CapturePreparationScript[] = R"JS((() => {
    const changes = [];
    let box = null;
    const set = (element, name, value) => {
        const old = element.style.getPropertyValue(name);
        const priority = element.style.getPropertyPriority(name);
        changes.push(() => element.style.setProperty(name, old, priority));
        element.style.setProperty(name, value, 'important');
    };
    // Scrolls at once, also where the page asks for smooth scrolling, which
    // would leave the page where it was until later frames.
    const jump = (x, y) => scrollTo({left: x, top: y, behavior: 'instant'});
    const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
    const renderings = (count) => new Promise((resolve) => {
        const timer = setTimeout(resolve, 1000);
        const step = (left) => requestAnimationFrame(() => {
            if (left > 1) {
                step(left - 1);
            } else {
                clearTimeout(timer);
                resolve();
            }
        });
        step(count);
    });
    // Whether `promise` settles within `ms`: true, or false when the time is
    // up first.
    const within = async (promise, ms) => {
        let timer = 0;
        const late = new Promise((resolve) => {
            timer = setTimeout(() => resolve(false), ms);
        });
        const outcome = await Promise.race([promise.then(() => true), late]);
        clearTimeout(timer);
        return outcome;
    };
    // Holds each animation that follows its element through the viewport
    // (animation-timeline: view()) as it is when the element is in the
    // middle of the viewport, as a person scrolling past it sees it: at the
    // top of the page, those below the first screen would show as they
    // start, and content that fades in as it comes would not show at all.
    const holdViewAnimations = () => {
        const root = document.scrollingElement;
        if (!root || typeof ViewTimeline === 'undefined')
            return;
        const farthest = Math.max(0, root.scrollHeight - root.clientHeight);
        const held = (animation) => {
            const timeline = animation.timeline;
            return timeline instanceof ViewTimeline && timeline.source === root &&
                   (timeline.axis === 'block' || timeline.axis === 'y') &&
                   animation.playState === 'running' && animation.startTime &&
                   animation.effect && animation.effect.target;
        };
        for (const animation of document.getAnimations().filter(held)) {
            try {
                // The timeline runs from startOffset to endOffset (scroll
                // positions) as 0 to 100 %.
                const start = animation.timeline.startOffset.to('px').value;
                const end = animation.timeline.endOffset.to('px').value;
                if (!(end > start))
                    continue;
                const box = animation.effect.target.getBoundingClientRect();
                const centre = box.top + scrollY + box.height / 2 - root.clientHeight / 2;
                const middle = Math.min(farthest, Math.max(0, centre));
                const progress = ((middle - start) / (end - start)) * 100;
                const from = animation.startTime.to('percent').value;
                animation.pause();
                changes.push(() => animation.play());
                animation.currentTime = CSS.percent(progress - from);
            } catch (e) {
                // Left as it is at the top of the page.
            }
        }
    };
    // The open shadow roots of the page (web components' insides), those
    // within others after them.
    const shadowRoots = () => {
        const found = [];
        for (let i = -1; i < found.length; ++i)
            for (const element of (i < 0 ? document : found[i]).querySelectorAll('*'))
                if (element.shadowRoot)
                    found.push(element.shadowRoot);
        return found;
    };
    // The elements matching `selector` in the document and in its open
    // shadow roots.
    const everywhere = (selector) =>
        [document, ...shadowRoots()].flatMap((scope) => [...scope.querySelectorAll(selector)]);
    // The box an element is laid out in: past the edge of a shadow root to
    // its host, and from content put into a web component to the slot that
    // shows it.
    const up = (element) => element.assignedSlot || element.parentElement ||
                             (element.parentNode instanceof ShadowRoot ? element.parentNode.host
                                                                       : null);
    // Whether some of an element shows in the viewport (as a box).
    const inView = (element) => {
        const box = element.getBoundingClientRect();
        return box.width > 0 && box.height > 0 && box.bottom > 0 && box.top < innerHeight &&
               box.right > 0 && box.left < innerWidth;
    };
    // A layer fixed over (nearly) the whole viewport, on top of it, that
    // shows and holds next to nothing: the screen many pages show while
    // they load and take away, often with a fade their script runs, once
    // they have loaded.
    const loadingScreen = () => {
        let layer = null;
        for (const [x, y] of [[0.5, 0.5], [0.2, 0.2], [0.8, 0.2], [0.2, 0.8], [0.8, 0.8]]) {
            let outermost = null;
            for (let element = document.elementFromPoint(innerWidth * x, innerHeight * y);
                 element; element = up(element))
                if (getComputedStyle(element).position === 'fixed')
                    outermost = element;
            if (!outermost || (layer && outermost !== layer))
                return false;
            layer = outermost;
        }
        const box = layer.getBoundingClientRect();
        if (box.width * box.height < 0.9 * innerWidth * innerHeight ||
            (layer.innerText || '').trim().length > 100)
            return false;
        let opacity = 1;
        for (let element = layer; element; element = up(element))
            opacity *= parseFloat(getComputedStyle(element).opacity);
        return opacity > 0.02;
    };
    // What the page's script changes to show or hide an element; the style
    // as the browser writes it out, since the page's own markup may write
    // what its script later sets again otherwise ("opacity:0" against
    // "opacity: 0;").
    const attributes = (element) =>
        [element.getAttribute('class'),
         element.hasAttribute('style') && element.style ? element.style.cssText
                                                         : element.getAttribute('style')];
    // Whether an element's own style hides it (as script that shows
    // content as it is scrolled to hides it).
    const hides = (style) => style.visibility === 'hidden' || parseFloat(style.opacity) < 0.1;
    // Whether an animation or transition is under way and ends.
    const ends = (animation) => animation.playState === 'running' && animation.effect &&
                                isFinite(animation.effect.getComputedTiming().endTime);
    const endingOn = (element) => (element.getAnimations ? element.getAnimations() : []).filter(ends);
    // Takes an animation to its end; one that cannot be (stopped at rate 0)
    // is left as it is.
    const finish = (animation) => {
        try {
            animation.finish();
        } catch (e) {
        }
    };
    // What the page changes to show content, as it shows on screen; put on
    // an element, it looks so whatever its class and its parents' say.
    const Looks = ['opacity', 'visibility', 'transform', 'translate', 'rotate', 'scale', 'filter',
                   'clip-path'];
    // The most hidden elements outside the viewport followed while the
    // page is scrolled through.
    const MostConcealed = 5000;
    // How long a screen with hidden content the page has not touched is
    // held, at most (ms): longer than the 50 ms at which the most used
    // script that looks every so often looks.
    const ScreenDwell = 80;
    // How long scrolling through waits, at its foot and back at the start,
    // for script that fades content in or out by itself to be done (ms).
    const TweenWait = 1000;
    const visibleArea = (element) => {
        const r = element.getBoundingClientRect();
        return Math.max(0, Math.min(r.right, innerWidth) - Math.max(r.left, 0)) *
               Math.max(0, Math.min(r.bottom, innerHeight) - Math.max(r.top, 0));
    };
    // The box that scrolls in place of the document: the one showing most of
    // itself among those with content hidden below, if the document does not
    // scroll and the box fills at least a quarter of the viewport.
    const findBox = () => {
        const root = document.scrollingElement || document.documentElement;
        if (!root || !document.body || root.scrollHeight > root.clientHeight + 1)
            return null;
        let best = null, bestArea = 0;
        for (const element of everywhere('*')) {
            if (element.scrollHeight <= element.clientHeight + 1)
                continue;
            const overflow = getComputedStyle(element).overflowY;
            if (overflow !== 'auto' && overflow !== 'scroll' && overflow !== 'overlay')
                continue;
            const area = visibleArea(element);
            if (area > bestArea) {
                best = element;
                bestArea = area;
            }
        }
        return bestArea * 4 >= innerWidth * innerHeight ? best : null;
    };
    // Frames whose document this page cannot reach, and the part of each
    // that shows, in document coordinates.
    const unreachableFrames = () => {
        const found = [];
        for (const frame of everywhere('iframe, frame')) {
            let reachable = false;
            try {
                reachable = !!frame.contentDocument;
            } catch (e) {
            }
            if (reachable || (frame.checkVisibility &&
                              !frame.checkVisibility({opacityProperty: true,
                                                      visibilityProperty: true})))
                continue;
            const style = getComputedStyle(frame);
            const box = frame.getBoundingClientRect();
            const inset = (side) => parseFloat(style['border' + side + 'Width']) +
                                    parseFloat(style['padding' + side]);
            let left = box.left + inset('Left'), top = box.top + inset('Top');
            let right = box.right - inset('Right'), bottom = box.bottom - inset('Bottom');
            for (let outer = up(frame); outer && outer !== document.documentElement;
                 outer = up(outer)) {
                const clips = getComputedStyle(outer);
                if (clips.overflowX === 'visible' && clips.overflowY === 'visible')
                    continue;
                const edge = outer.getBoundingClientRect();
                left = Math.max(left, edge.left);
                top = Math.max(top, edge.top);
                right = Math.min(right, edge.right);
                bottom = Math.min(bottom, edge.bottom);
            }
            if (right - left >= 1 && bottom - top >= 1)
                found.push({x: Math.floor(left + scrollX), y: Math.floor(top + scrollY),
                            right: Math.ceil(right + scrollX), bottom: Math.ceil(bottom + scrollY)});
        }
        return found;
    };
    // Whether content fills at least a tenth of the part of `element`
    // below its first `shown` pixels, where a list that draws only the rows
    // in its view (a virtual list) leaves it blank. Boxes taller than half
    // that part hold content only where they hold text of their own, are
    // pictures or the like, or show a background picture (a list's spacer
    // is none of these; a background colour alone does not count, since
    // the box itself may well have one).
    const filledBelow = (element, shown) => {
        const r = element.getBoundingClientRect();
        const top = r.top + shown, bottom = r.bottom, span = bottom - top;
        if (span <= 1)
            return true;
        const inside = (e) => {
            for (; e; e = up(e))
                if (e === element)
                    return true;
            return false;
        };
        const content = (e) =>
            e.matches('img, svg, canvas, video, iframe, object, embed') ||
            getComputedStyle(e).backgroundImage !== 'none' ||
            [...e.childNodes].some(
                (node) => node.nodeType === Node.TEXT_NODE && node.textContent.trim());
        const parts = [];
        for (const e of everywhere('*')) {
            const b = e.getBoundingClientRect();
            if (e === element || b.width <= 0 || b.height <= 0 || b.bottom <= top ||
                b.top >= bottom || (b.height > span / 2 && !content(e)) || !inside(e))
                continue;
            parts.push([Math.max(b.top, top), Math.min(b.bottom, bottom)]);
        }
        parts.sort((a, b) => a[0] - b[0]);
        let covered = 0, end = top;
        for (const [from, to] of parts) {
            if (to > end) {
                covered += to - Math.max(from, end);
                end = to;
            }
        }
        return covered * 10 >= span;
    };
    // Waits for the animations and transitions under way that end, until
    // `deadline`; with `whole`, first holds those that follow their
    // element through the viewport (see holdViewAnimations). Returns
    // whether they ended in time.
    const endingAnimations = async (deadline, whole) => {
        if (!document.getAnimations)
            return true;
        if (whole)
            holdViewAnimations();
        const ending = document.getAnimations().filter(ends);
        if (!ending.length)
            return true;
        // Those Chromium has not started after two renderings are on
        // elements it does not draw (out of view): they would not start
        // before the capture draws them, so waiting for them would only
        // run out the time. They are finished, as a person who had
        // scrolled to them would see them.
        await renderings(2);
        ending.filter((animation) => animation.pending && animation.startTime === null)
            .forEach(finish);
        const outcome = await within(
            Promise.all(ending.map((animation) => animation.finished.catch(() => {}))),
            Math.max(0, deadline - performance.now()));
        // Animations the compositor runs show their end once it has taken
        // the page's next renderings.
        await renderings(2);
        return outcome;
    };
    // When the page last changed the style or class attribute of an
    // element that was hidden outside the viewport when the page was
    // revealed: script that fades or slides content in by itself (tweening
    // libraries) changes its style at every rendering until it is done,
    // without any animation Chromium knows of. And when it last wrote a
    // figure ("12,345", "98 %", "1.2M"): counters that count up to their
    // number once they come into view.
    let restyledAt = -Infinity, countedAt = -Infinity, watchedFrom = 0, watching = null;
    // How long after the page is revealed counters are waited for, at most
    // (ms): the most used ones count for 1 or 2 s once in view.
    const CountWait = 2500;
    const figure = (text) => text.length <= 24 && /\d/.test(text) &&
                             (text.match(/\p{L}/gu) || []).length <= 3;
    // Whether a record of text changing writes a figure.
    const writesFigure = (record) =>
        record.type === 'characterData'
            ? figure(record.target.data)
            : [...record.addedNodes].some(
                  (node) => node.nodeType === Node.TEXT_NODE && figure(node.data));
    const stopWatching = () => {
        if (watching)
            watching.disconnect();
        watching = null;
    };
    const watchChanges = () => {
        stopWatching();
        const hidden = new Set(concealed.map(({element}) => element));
        watchedFrom = performance.now();
        watching = new MutationObserver((records) => {
            for (const record of records) {
                if (record.type === 'attributes' && hidden.has(record.target))
                    restyledAt = performance.now();
                else if (record.type !== 'attributes' && writesFigure(record))
                    countedAt = performance.now();
            }
        });
        const what = {subtree: true, characterData: true, childList: true};
        if (hidden.size)
            what.attributeFilter = ['style', 'class'];
        for (const scope of [document, ...shadowRoots()])
            watching.observe(scope, what);
    };
    // Waits until `last()` (one of those times) is 100 ms past, until
    // `deadline`. Returns whether it was in time.
    const quietSince = async (last, deadline) => {
        while (performance.now() - last() < 100) {
            if (performance.now() >= deadline)
                return false;
            await pause(20);
        }
        return true;
    };
    const restyled = (deadline) => quietSince(() => restyledAt, deadline);
    const same = (a, b) => a[0] === b[0] && a[1] === b[1];
    // Whether the page left a hidden element's attributes as they were.
    const untouched = ({element, start}) => same(attributes(element), start);
    // Finishes the element's transitions and animations under way, as a
    // person looking at it a moment later would see it.
    const finishOn = (element) => endingOn(element).forEach(finish);
    // How each hidden element shows now, once finished: its attributes,
    // and its looks unless it is hidden.
    const noteShown = () => concealed.map(({element}) => {
        finishOn(element);
        const style = getComputedStyle(element);
        return {attributes: attributes(element),
                looks: hides(style) ? null : Looks.map((name) => style.getPropertyValue(name))};
    });
    // Puts back content shown when `noted` (by noteShown) that the page
    // has hidden again since, as it was before the page was revealed: its
    // class and style attributes as they were then (at once, not with the
    // transition they start), or, where the page showed and hid it by
    // changing something else (a class on a parent), the looks it had.
    const putBack = (noted) => {
        const put = (element, name, value) => value === null
                                                  ? element.removeAttribute(name)
                                                  : element.setAttribute(name, value);
        concealed.forEach((entry, i) => {
            const {element, start} = entry;
            const {attributes: shown, looks} = noted[i];
            if (!untouched(entry))
                return;
            if (!same(shown, start)) {
                changes.push(() => {
                    put(element, 'class', start[0]);
                    put(element, 'style', start[1]);
                });
                put(element, 'class', shown[0]);
                put(element, 'style', shown[1]);
                finishOn(element);
            } else if (looks && (endingOn(element).length || hides(getComputedStyle(element)))) {
                Looks.forEach((name, k) => set(element, name, looks[k]));
                set(element, 'transition', 'none');
            }
        });
        // Those are not the page's own changes.
        if (watching)
            watching.takeRecords();
    };
    let tiles = [], placed = [], faded = [], scrolled = null, host = null, shadow = null,
        origin = null, concealed = [], shownHeight = 0;
    const growth = [];
    return {
        // Grows the box and every box around it by what the box hides, so
        // that it shows all its content and the document holds it. Returns
        // how many pixels it grew. Where the page, two renderings later,
        // has drawn next to nothing into what the box grew by (a virtual
        // list), every growth is undone for good, and it returns 0: the
        // picture would be mostly blank.
        async expand() {
            if (box === false)
                return 0;
            if (!box) {
                box = findBox();
                shownHeight = box ? box.clientHeight : 0;
            }
            const first = changes.length;
            let grown = 0;
            for (let pass = 0; box && pass < 3; ++pass) {
                const extra = box.scrollHeight - box.clientHeight;
                if (extra <= 1)
                    break;
                const chain = [];
                for (let element = box; element; element = up(element))
                    chain.push([element, element.getBoundingClientRect().height,
                                getComputedStyle(element).position]);
                for (const [element, height, position] of chain) {
                    set(element, 'box-sizing', 'border-box');
                    set(element, 'height', (height + extra) + 'px');
                    set(element, 'min-height', '0');
                    set(element, 'max-height', 'none');
                    set(element, 'flex-shrink', '0');
                    if (position === 'fixed')
                        set(element, 'position', 'absolute');
                }
                grown += extra;
            }
            if (!grown)
                return 0;
            growth.push(changes.slice(first));
            await renderings(2);
            if (filledBelow(box, shownHeight))
                return grown;
            for (const undo of growth.flat().reverse())
                undo();
            box = false;
            return 0;
        },
        // Makes what Chromium draws only in and near the viewport draw
        // beyond it too, as a person scrolling through the page would see
        // it; painted beyond the viewport, it would be left blank:
        // - parts skipped while far from view (content-visibility: auto)
        //   are rendered; parts the page hides for good stay hidden;
        // - backgrounds fixed to the viewport scroll with their element, so
        //   that each shows behind its element wherever that is;
        // - elements that stick to the bottom (or right) of the viewport
        //   until it reaches them stay where they belong, instead of
        //   showing at the foot of the first screen and leaving a gap;
        // - pictures to be decoded apart from painting (decoding="async")
        //   are decoded when they are painted.
        // Notes the elements outside the viewport that are hidden (as
        // script that shows content as it is scrolled to hides it), and
        // their attributes.
        paintWhole() {
            const skipped = [];
            const fixed = [];
            const stuck = [];
            const roots = [];
            // Looks through `top` (an element or a shadow root) and the open
            // shadow roots within, but not into parts whose content is not
            // rendered: their elements' styles would be worked out one at a
            // time, a long wait on a long page.
            const look = (top) => {
                const walker = document.createTreeWalker(top, NodeFilter.SHOW_ELEMENT);
                for (let element = top instanceof Element ? top : walker.nextNode(); element;) {
                    const style = getComputedStyle(element);
                    const attachment = style.backgroundAttachment;
                    if (/\bfixed\b/.test(attachment))
                        fixed.push([element, attachment.replace(/\bfixed\b/g, 'scroll')]);
                    if (style.position === 'sticky' &&
                        (style.bottom !== 'auto' || style.right !== 'auto'))
                        stuck.push(element);
                    // Content, not the controls fixed to the viewport (a
                    // button back to the top, shown while scrolled down).
                    if (concealed.length < MostConcealed && style.position !== 'fixed' &&
                        hides(style) && !inView(element))
                        concealed.push({element, start: attributes(element)});
                    if (style.contentVisibility === 'visible') {
                        if (element.shadowRoot) {
                            roots.push(element.shadowRoot);
                            look(element.shadowRoot);
                        }
                        element = walker.nextNode();
                        continue;
                    }
                    if (style.contentVisibility === 'auto')
                        skipped.push(element);
                    element = walker.nextSibling();
                    while (!element && walker.parentNode())
                        element = walker.nextSibling();
                }
            };
            look(document.documentElement);
            // All at once, so that their content is styled in one go; it may
            // hold such parts in turn.
            for (let depth = 0; skipped.length && depth < 8; ++depth) {
                const shown = skipped.splice(0);
                for (const element of shown)
                    set(element, 'content-visibility', 'visible');
                for (const element of shown)
                    look(element);
            }
            for (const [element, attachment] of fixed)
                set(element, 'background-attachment', attachment);
            for (const element of stuck) {
                set(element, 'position', 'relative');
                for (const side of ['top', 'right', 'bottom', 'left'])
                    set(element, side, 'auto');
            }
            const images = roots.flatMap((root) => [...root.querySelectorAll('img')]);
            for (const image of [...document.images, ...images]) {
                if (image.decoding !== 'async')
                    continue;
                const old = image.getAttribute('decoding');
                changes.push(() => image.setAttribute('decoding', old));
                image.setAttribute('decoding', 'sync');
            }
        },
        // Brings the whole page into view for two renderings.
        // Returns whether an element outside the viewport was hidden.
        async reveal() {
            const root = document.documentElement;
            if (!root)
                return false;
            concealed = [];
            this.paintWhole();
            watchChanges();
            const scale = Math.min(innerWidth / Math.max(root.scrollWidth, innerWidth),
                                   innerHeight / Math.max(root.scrollHeight, innerHeight));
            if (!(scale < 1))
                return false;
            const style = root.style;
            const saved = ['transform', 'transform-origin', 'opacity'].map(
                (name) => [name, style.getPropertyValue(name), style.getPropertyPriority(name)]);
            const x = scrollX, y = scrollY;
            style.setProperty('transform', 'scale(' + scale + ')', 'important');
            style.setProperty('transform-origin', '0 0', 'important');
            // Shown, not drawn: where the page has a layer of its own (a
            // canvas, a video, an element that will move), Chromium would
            // draw the whole page at nearly full size while it is shrunk,
            // for seconds on a tall page, and the capture would wait for it.
            // What comes into view (IntersectionObserver, positions) does
            // not depend on opacity.
            style.setProperty('opacity', '0', 'important');
            document.dispatchEvent(new Event('scroll', {bubbles: true}));
            await renderings(2);
            await pause(0);
            const noted = noteShown();
            for (const [name, value, priority] of saved)
                style.setProperty(name, value, priority);
            if (scrollX !== x || scrollY !== y)
                jump(x, y);
            // Content shown while in view that the page hides again once
            // out of view (its IntersectionObserver, say) is put back.
            if (noted.some(({looks}) => looks)) {
                await renderings(2);
                await pause(0);
                putBack(noted);
            }
            return concealed.length > 0;
        },
        // Scrolls through the page a screen at a time, each shown for two
        // renderings, for at most `ms`, and back to where it was: script
        // that shows content as its place passes the viewport (on the
        // page's scroll events) shows it. A screen holding hidden content
        // that the page has not touched yet stays a little longer, for
        // script that looks at the viewport every so often instead of on
        // each scroll event (WOW.js: every 50 ms). Out of time before the
        // foot, the page is still taken to its foot last, where script
        // that shows all content the viewport has passed (AOS) shows all.
        // Handlers that run at most every so often get time for the last
        // place and for the way back, and script that fades content in or
        // out by itself time to be done at both (see restyled).
        // Content still shown at the end of the way down that the page hid
        // again on the way back is put back (see putBack).
        // (Content the page showed and hid again on the way down, such as
        // a carousel's slides, is left as the page has it.)
        async through(ms) {
            const root = document.scrollingElement;
            if (!root)
                return;
            const x = scrollX, y = scrollY;
            const deadline = performance.now() + ms;
            // Still to be shown: neither the element's attributes nor
            // (through its parents' class, say) its style changed yet.
            const waiting = (entry) => untouched(entry) && !endingOn(entry.element).length &&
                                       hides(getComputedStyle(entry.element));
            // Screens held in vain (the page touched none of their hidden
            // content meanwhile) and held to some use: after three in vain
            // and none of use, the page is taken to hide content that it
            // shows otherwise (on hover, say), and screens are no longer
            // held.
            let vain = 0, useful = 0;
            let top = y > 0 ? 0 : innerHeight;
            for (; top < root.scrollHeight && performance.now() < deadline; top += innerHeight) {
                jump(x, top);
                const arrived = performance.now();
                await renderings(2);
                if (!useful && vain >= 3)
                    continue;
                const held =
                    concealed.filter((entry) => inView(entry.element) && waiting(entry));
                let left = held;
                while (left.length && performance.now() - arrived < ScreenDwell &&
                       performance.now() < deadline) {
                    await pause(10);
                    left = left.filter(waiting);
                }
                if (left.length < held.length)
                    ++useful;
                else if (held.length)
                    ++vain;
            }
            if (top < root.scrollHeight) {
                jump(x, root.scrollHeight);
                await renderings(2);
            }
            await pause(100);
            await restyled(performance.now() + TweenWait);
            const noted = noteShown();
            jump(x, y);
            await renderings(2);
            await pause(100);
            await restyled(performance.now() + TweenWait);
            putBack(noted);
        },
        // Waits for the web fonts the page uses, for at most `ms`. Laying
        // the page out first starts loading those that text added lately
        // asks for.
        async fonts(ms) {
            if (!document.fonts || !document.documentElement)
                return true;
            document.documentElement.getBoundingClientRect();
            if (document.fonts.status !== 'loading')
                return true;
            return within(document.fonts.ready, ms);
        },
        // Waits, for at most `ms` in all, until no loading screen covers
        // the viewport (see loadingScreen), then holds the animations that
        // follow their element through the viewport when the page is
        // captured whole (see holdViewAnimations), and waits for the
        // animations and transitions under way that end; those that never
        // end (spinners) are not waited for. Then waits for script that
        // fades hidden content in by itself (see restyled), and for
        // counters, to be done.
        async animations(ms, whole) {
            const deadline = performance.now() + ms;
            while (loadingScreen() && performance.now() < deadline)
                await pause(50);
            const ended = await endingAnimations(deadline, whole);
            const settled = await restyled(deadline);
            // A figure that changes all the time (a stopwatch) is waited
            // for until the time is up, but is what the page shows, not
            // the page still settling.
            await quietSince(() => countedAt, Math.min(deadline, watchedFrom + CountWait));
            // The last step that asks: the page's later changes are no
            // longer followed.
            stopWatching();
            return settled && ended;
        },
        // Lists the parts of such frames outside the first screen as tiles
        // no larger than the viewport, and makes fixed and sticky elements
        // transparent while they are painted. Returns how many there are.
        frames(most) {
            const width = innerWidth, height = innerHeight;
            tiles = [];
            placed = unreachableFrames();
            for (const frame of placed) {
                // Those in view are rendered.
                if (frame.x < scrollX + width && frame.y < scrollY + height &&
                    frame.right > scrollX && frame.bottom > scrollY)
                    continue;
                for (let y = frame.y; y < frame.bottom; y += height)
                    for (let x = frame.x; x < frame.right; x += width)
                        tiles.push({x, y, width: Math.min(width, frame.right - x),
                                    height: Math.min(height, frame.bottom - y)});
            }
            tiles = tiles.slice(0, most);
            if (!tiles.length)
                return 0;
            scrolled = [scrollX, scrollY];
            for (const element of everywhere('*')) {
                const position = getComputedStyle(element).position;
                if (position === 'fixed' || position === 'sticky') {
                    faded.push([element, element.style.getPropertyValue('opacity'),
                                element.style.getPropertyPriority('opacity')]);
                    element.style.setProperty('opacity', '0', 'important');
                }
            }
            return tiles.length;
        },
        // Scrolls tile `index` into view and waits until it has been
        // rendered there; returns it (document coordinates), or null when it
        // cannot be brought into view.
        async show(index) {
            const tile = tiles[index];
            jump(Math.max(0, tile.x - (innerWidth - tile.width) / 2),
                 Math.max(0, tile.y - (innerHeight - tile.height) / 2));
            if (tile.x < scrollX || tile.y < scrollY ||
                tile.x + tile.width > scrollX + innerWidth ||
                tile.y + tile.height > scrollY + innerHeight)
                return null;
            await renderings(3);
            return tile;
        },
        // Lays the picture of tile `index` (PNG, base64) over it.
        async place(index, png) {
            const tile = tiles[index];
            if (!host) {
                host = document.createElement('div');
                host.style.cssText = 'all:initial;position:absolute;left:0;top:0;width:0;' +
                                     'height:0;overflow:visible;z-index:2147483647;' +
                                     'pointer-events:none';
                document.documentElement.appendChild(host);
                shadow = host.attachShadow({mode: 'closed'});
                const at = host.getBoundingClientRect();
                origin = {x: at.left + scrollX, y: at.top + scrollY};
            }
            const picture = document.createElement('img');
            picture.style.cssText = 'position:absolute;display:block;margin:0;left:' +
                                    (tile.x - origin.x) + 'px;top:' + (tile.y - origin.y) +
                                    'px;width:' + tile.width + 'px;height:' + tile.height + 'px';
            picture.src = 'data:image/png;base64,' + png;
            shadow.appendChild(picture);
            await Promise.race([picture.decode().catch(() => {}),
                                new Promise((resolve) => setTimeout(resolve, 1000))]);
            return true;
        },
        // Puts back what frames() changed, but the pictures. When a frame
        // has moved meanwhile (content loaded above it), the pictures would
        // be out of place: they are taken away. Returns whether they stay.
        async framesDone() {
            for (const [element, value, priority] of faded)
                element.style.setProperty('opacity', value, priority);
            faded = [];
            if (scrolled) {
                jump(scrolled[0], scrolled[1]);
                // What the page does when it is scrolled back comes first.
                await renderings(2);
            }
            scrolled = null;
            const now = unreachableFrames();
            const moved = now.length !== placed.length ||
                          now.some((frame, i) => frame.x !== placed[i].x ||
                                                 frame.y !== placed[i].y ||
                                                 frame.right !== placed[i].right ||
                                                 frame.bottom !== placed[i].bottom);
            if (moved && host) {
                host.remove();
                host = shadow = null;
            }
            return !moved;
        },
        restore() {
            for (const [element, value, priority] of faded)
                element.style.setProperty('opacity', value, priority);
            faded = [];
            if (scrolled)
                jump(scrolled[0], scrolled[1]);
            scrolled = null;
            if (host)
                host.remove();
            host = shadow = null;
            while (changes.length)
                changes.pop()();
            box = null;
            stopWatching();
        },
    };
})())JS";

} // namespace snapvel::cdp
