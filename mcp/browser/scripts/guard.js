// The submission guard of one document: (win) => the guard of win's document, made and installed
// the first time a value is typed there, kept in this isolated world for the document's life.
//
// It remembers every element a value was typed into, with what the element held once the browser
// and the page's handlers had had their say, and the binding of the value (the rule of the origin
// lock, as the controller passed it). Each trusted submit event of a form is a submission of its
// own, judged by what the browser will send for it: the method and action of the form, or of the
// submitter that carries formmethod or formaction, once the page's own submit handlers have run.
// A submission of a form holding a typed element is refused when it would send a typed password
// by GET (into the address), or any typed value to an address outside that value's binding.
//
// A refusal cancels the submit event, as late in its dispatch as this guard listens (after the
// form's own listeners, and again after the window's): the browser then sends nothing and opens
// no window, whatever the target. A submission that gets past both (a page's handler stopped the
// event on its way up) is judged again in its "formdata" event, the last moment before the
// browser sends: the typed entries are taken out of the list, the form leaves the document until
// the next task (the browser drops a submission whose form is gone), and the user activation is
// used up, so that no new window can open for it. Either way every typed element of the form is
// cleared and forgotten.
//
// Only submissions announced by a trusted submit event are judged: entry lists that the page's own
// script makes (form.submit(), new FormData(form)) are its own affair, like any request it sends,
// since the page is the origin the value was locked to.
(win) => {
  const held = D(globalThis, 'varnGuards');
  const guards = held ? held.value : new WeakMap();
  if (!held) Object.defineProperty(globalThis, 'varnGuards', {value: guards});
  const doc = win.document;
  const known = guards.get(doc);
  if (known) return known;

  const Form = win.HTMLFormElement.prototype;
  const Node = win.Node.prototype;
  const Element = win.Element.prototype;
  const Target = win.EventTarget.prototype;
  const valueOf = (el) =>
      D(el instanceof win.HTMLTextAreaElement ? win.HTMLTextAreaElement.prototype :
                                                win.HTMLInputElement.prototype,
        'value');
  // element -> {values, password, binding}: the text typed and what the element held after it,
  // whether it is a password, and the binding ({lockedTo, https, hosts, sites: [{domain,
  // tenants}]}) it may be sent within.
  const typed = new WeakMap();
  // The trusted submit events not yet done with: {event, form, submitter, refusal}.
  let submissions = [];
  // Since begin(): the submissions seen, and the outcomes of those judged ({outcome, reason}).
  let since = [];
  let outcomes = [];

  // The typed elements among the form's controls, each with its record.
  const holdersOf = (form) => {
    const holders = [];
    for (const control of Array.from(read(Form, 'elements', form))) {
      const record = typed.get(control);
      if (record) holders.push(Object.assign({el: control}, record));
    }
    return holders;
  };

  // Whether `host` lies in a zone of the public suffix list below a site: ".zone" holds the hosts
  // under zone, "zone" also zone itself.
  const inZone = (host, zone) =>
      zone[0] === '.' ? host.endsWith(zone) : host === zone || host.endsWith('.' + zone);

  // Why `url` (null when the action does not parse) lies outside `binding`; '' when it does not.
  const outside = (url, binding) => {
    if (!url || (url.protocol !== 'http:' && url.protocol !== 'https:')) {
      return 'the form sends to ' +
          (url ? 'a ' + url.protocol + ' address' : 'an invalid address') +
          ', and the credential goes only to http and https pages';
    }
    const to = url.origin;
    if (url.protocol === 'http:' && binding.https) {
      return 'the form sends to ' + to + ' over plain http, and the credential\'s address ' +
          binding.lockedTo + ' is https';
    }
    const host = url.hostname.replace(/^\[(.*)\]$/, '$1');
    if (binding.hosts.includes(host)) return '';
    let tenant = '';
    for (const site of binding.sites) {
      if (host !== site.domain && !host.endsWith('.' + site.domain)) continue;
      const zone = site.tenants.find((z) => inZone(host, z));
      if (zone === undefined) return '';
      tenant = zone.replace(/^\./, '');
    }
    if (tenant) {
      return 'the form sends to ' + to + ', a site of its own under the public suffix ' + tenant +
          ', outside the credential\'s binding ' + binding.lockedTo;
    }
    return 'the form sends to ' + to + ', outside the credential\'s binding ' + binding.lockedTo;
  };

  // Why the submission of `form` by `submitter` must not leave with the typed values of
  // `holders`; '' when it may.
  const judge = (form, submitter, holders) => {
    const carries = (name) => submitter && call(Element, 'hasAttribute', submitter, name);
    const method = carries('formmethod') ? submitter.formMethod : read(Form, 'method', form);
    const action = carries('formaction') ? submitter.formAction : read(Form, 'action', form);
    // A dialog closes, a javascript: address runs the page's script: neither sends the entries.
    if (method === 'dialog') return '';
    let url = null;
    try {
      url = new win.URL(action);
    } catch (e) {
    }
    if (url && url.protocol === 'javascript:') return '';
    if (method === 'get' && holders.some((h) => h.password)) {
      return 'the form would send the password in the URL (method GET)';
    }
    for (const h of holders) {
      const reason = outside(url, h.binding);
      if (reason) return reason;
    }
    return '';
  };

  // Line breaks as an entry list may hold them.
  const lines = (text) => String(text).replace(/\r\n?/g, '\n');

  // Takes every entry of the holders out of `data`: those under their names, and any that carries
  // what one of them was given or holds.
  const scrub = (data, holders) => {
    const names = new Set(holders.map((h) => h.el.name));
    const values = new Set();
    for (const h of holders) {
      for (const value of h.values.concat([valueOf(h.el).get.call(h.el)])) values.add(lines(value));
    }
    for (const name of new Set(Array.from(data.keys()))) {
      const all = data.getAll(name);
      const kept =
          names.has(name) ? [] : all.filter((v) => typeof v !== 'string' || !values.has(lines(v)));
      if (kept.length === all.length) continue;
      data.delete(name);
      for (const v of kept) data.append(name, v);
    }
  };

  const refuse = (holders, reason) => {
    for (const h of holders) {
      valueOf(h.el).set.call(h.el, '');
      typed.delete(h.el);
    }
    outcomes.push({outcome: 'refused', reason});
  };

  // Drops the submission of `form` at its formdata event (see above).
  const drop = (form) => {
    const opened = win.open('about:blank', '_blank');
    if (opened) opened.close();
    const parent = read(Node, 'parentNode', form);
    if (!parent) return;
    const next = read(Node, 'nextSibling', form);
    call(Node, 'removeChild', parent, form);
    win.setTimeout(() => {
      if (read(Node, 'isConnected', form) || !read(Node, 'isConnected', parent)) return;
      const before = next && read(Node, 'parentNode', next) === parent ? next : null;
      try {
        call(Node, 'insertBefore', parent, form, before);
      } catch (e) {
      }
    });
  };

  call(Target, 'addEventListener', win, 'submit', (event) => {
    if (!event.isTrusted) return;
    const form = event.target;
    const record = {event, form, submitter: event.submitter, refusal: ''};
    submissions.push(record);
    since.push(record);
    const late = (seen) => {
      if (seen !== event || event.defaultPrevented) return;
      const holders = holdersOf(form);
      const refusal = holders.length ? judge(form, record.submitter, holders) : '';
      if (!refusal) return;
      record.refusal = refusal;
      event.preventDefault();
      refuse(holders, refusal);
    };
    call(Target, 'addEventListener', form, 'submit', late);
    call(Target, 'addEventListener', win, 'submit', late);
    win.setTimeout(() => {
      call(Target, 'removeEventListener', form, 'submit', late);
      call(Target, 'removeEventListener', win, 'submit', late);
      submissions = submissions.filter((r) => r !== record);
    });
  }, true);

  call(Target, 'addEventListener', win, 'formdata', (event) => {
    const form = event.target;
    // Its own submission: the form's latest submit event, whose dispatch is over (an entry list
    // made inside a submit handler is the page's) and which nobody cancelled.
    const record = submissions.filter((r) => r.form === form).pop();
    if (!event.isTrusted || !record || record.event.eventPhase !== 0 ||
        record.event.defaultPrevented) {
      return;
    }
    submissions = submissions.filter((r) => r !== record);
    const holders = holdersOf(form);
    const refusal = holders.length ? judge(form, record.submitter, holders) : '';
    if (!refusal) {
      outcomes.push({outcome: 'started', reason: ''});
      return;
    }
    record.refusal = refusal;
    scrub(event.formData, holders);
    refuse(holders, refusal);
    drop(form);
  }, true);

  const guard = {
    // Remembers the values typed into `el`.
    typed(el, record) { typed.set(el, record); },
    // Forgets the value of `el` (it was cleared).
    forget(el) { typed.delete(el); },
    // Starts watching for what a submit leads to.
    begin() {
      since = [];
      outcomes = [];
    },
    // Since begin(): "refused" (with the reason of the first refusal) when a submission was
    // refused, else "started" when one started, "taken" when the page's script cancelled one to
    // handle it, else "none".
    end() {
      const refused = outcomes.find((o) => o.outcome === 'refused');
      if (refused) return refused;
      if (outcomes.length) return {outcome: 'started', reason: ''};
      const taken = since.some((r) => !r.refusal && r.event.defaultPrevented);
      return {outcome: taken ? 'taken' : 'none', reason: ''};
    },
  };
  guards.set(doc, guard);
  return guard;
}
