// The submission guard of one document: (win) => the guard of win's document,
// made and installed the first time a value is typed there, kept in this
// isolated world for the document's life.
//
// It remembers every element a value was typed into (and the value, to tell
// whether the element still carries it), and judges each native submission of a
// form that holds such an element at the moment it would leave: in the form's
// "formdata" event, which comes after the page's own submit handlers (a
// submission whose submit event they cancelled never gets there) and before the
// browser sends anything. A submission by GET that would carry a typed
// password, or one to an origin outside the typed value's binding, is stopped:
// the typed values are taken out of the entry list and cleared from their
// elements, and the form leaves the document until the next task, which makes
// the browser drop the submission.
//
// Only submissions announced by a trusted submit event are judged: entry lists
// that the page's own script makes (form.submit(), new FormData(form)) are its
// own affair, like any request it sends, since the page is the origin the value
// was locked to.
//
// A form's named controls shadow the form's members, and named elements the
// document's, in every world; so members of forms and documents are read
// through the interfaces' own accessors, never as properties of the object.
(win) => {
  const D = Object.getOwnPropertyDescriptor;
  const read = (proto, key, object) => D(proto, key).get.call(object);
  const call = (proto, key, object, ...args) =>
      D(proto, key).value.call(object, ...args);
  const held = D(globalThis, 'varnGuards');
  const guards = held ? held.value : new WeakMap();
  if (!held)
    Object.defineProperty(globalThis, 'varnGuards', {value : guards});
  const doc = win.document;
  const known = guards.get(doc);
  if (known)
    return known;

  const Form = win.HTMLFormElement.prototype;
  const Node = win.Node.prototype;
  const Element = win.Element.prototype;
  const valueOf = (el) => D(el instanceof win.HTMLTextAreaElement
                                ? win.HTMLTextAreaElement.prototype
                                : win.HTMLInputElement.prototype,
                            'value');
  // element -> {value, password, origin, key, lockedTo}: what was typed there,
  // whether it is a password, the origin it was locked to, its binding's key
  // and text.
  const typed = new WeakMap();
  const approved =
      new Map(); // binding key -> Set of further origins it may be sent to
  let pending =
      null; // the trusted submit event of this task, until its formdata
  let lastSubmit = null; // the last trusted submit event since begin()
  let outcome = 'none';  // of the last judged submission since begin()
  let reason = '';

  const judge = (form, submitter, holders) => {
    const carries = (name) =>
        submitter && call(Element, 'hasAttribute', submitter, name);
    const method = carries('formmethod') ? submitter.formMethod
                                         : read(Form, 'method', form);
    const action = carries('formaction') ? submitter.formAction
                                         : read(Form, 'action', form);
    // A dialog closes, a javascript: address runs the page's script: neither
    // sends the entries.
    if (method === 'dialog')
      return '';
    let url = null;
    try {
      url = new win.URL(action);
    } catch (e) {
    }
    if (url && url.protocol === 'javascript:')
      return '';
    if (method === 'get' && holders.some((h) => h.password)) {
      return 'the form would send the password in the URL (method GET)';
    }
    const to = url ? url.origin : 'null';
    for (const h of holders) {
      const further = approved.get(h.key);
      if (to !== h.origin && !(further && further.has(to))) {
        return 'the form sends to ' + to +
               ', outside the credential\'s binding ' + h.lockedTo;
      }
    }
    return '';
  };

  const stop = (form, data, holders) => {
    const values = holders.map((h) => h.value);
    for (const name of new Set(Array.from(data.keys()))) {
      const all = data.getAll(name);
      const kept = all.filter((v) => !values.includes(v));
      if (kept.length === all.length)
        continue;
      data.delete(name);
      for (const v of kept)
        data.append(name, v);
    }
    for (const h of holders) {
      valueOf(h.el).set.call(h.el, '');
      typed.delete(h.el);
    }
    const parent = read(Node, 'parentNode', form);
    if (!parent)
      return;
    const next = read(Node, 'nextSibling', form);
    call(Node, 'removeChild', parent, form);
    win.setTimeout(() => {
      if (read(Node, 'isConnected', form) || !read(Node, 'isConnected', parent))
        return;
      const before =
          next && read(Node, 'parentNode', next) === parent ? next : null;
      try {
        call(Node, 'insertBefore', parent, form, before);
      } catch (e) {
      }
    });
  };

  win.addEventListener('submit', (event) => {
    if (!event.isTrusted)
      return;
    pending = event;
    lastSubmit = event;
    win.setTimeout(() => {
      if (pending === event)
        pending = null;
    });
  }, true);

  win.addEventListener('formdata', (event) => {
    const form = event.target;
    const submit = pending;
    // Its own submission: the submit event's dispatch is over (an entry list
    // made inside a submit handler is the page's) and nobody cancelled it.
    if (!event.isTrusted || !submit || submit.target !== form ||
        submit.eventPhase !== 0 || submit.defaultPrevented) {
      return;
    }
    pending = null;
    const holders = [];
    for (const control of Array.from(read(Form, 'elements', form))) {
      const record = typed.get(control);
      if (record && valueOf(control).get.call(control) === record.value) {
        holders.push(Object.assign({el : control}, record));
      }
    }
    const refusal =
        holders.length ? judge(form, submit.submitter, holders) : '';
    if (!refusal) {
      outcome = 'started';
      return;
    }
    stop(form, event.formData, holders);
    outcome = 'refused';
    reason = refusal;
  }, true);

  const guard = {
    // Remembers a value typed into `el`.
    typed(el, record) { typed.set(el, record); },
    // Forgets the value of `el` (it was cleared).
    forget(el) { typed.delete(el); },
    // Lets values of binding `key` go to these origins as well.
    approve(key, origins) {
      const set = approved.get(key) || new Set();
      for (const origin of origins)
        set.add(origin);
      approved.set(key, set);
    },
    // Starts watching for what a submit leads to.
    begin() {
      lastSubmit = null;
      outcome = 'none';
      reason = '';
    },
    // Since begin(): "refused" (with the reason) or "started" for a judged
    // submission, "taken"
    // when the page's script cancelled the submit event to handle it, else
    // "none".
    end() {
      if (outcome !== 'none')
        return {outcome, reason};
      return {
        outcome : lastSubmit && lastSubmit.defaultPrevented ? 'taken' : 'none',
        reason : ''
      };
    },
  };
  guards.set(doc, guard);
  return guard;
}
