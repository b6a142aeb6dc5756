// Called on the located element: submits its form (requestSubmit, so the page's handlers and its
// document's guard see it), else clicks the best-scored visible button of its document. Answers
// {"answer": ...}: "refused" with the guard's "reason"; "submitted" when the submission started or
// the page's script took it over; "unsubmitted" when the form did not submit (its controls are
// invalid); "clicked"; "none" when there was nothing to click. The candidates' members are read
// through the interfaces' accessors too: a form can have the button role.
function() {
  const active = this;
  const doc = read(Node.prototype, 'ownerDocument', active);
  const win = read(Document.prototype, 'defaultView', doc);
  const guard = guardOf(win);
  guard.begin();
  const settled = (done) => {
    const seen = guard.end();
    if (seen.outcome === 'refused') return {answer: 'refused', reason: seen.reason};
    return {answer: seen.outcome === 'none' ? done : 'submitted'};
  };
  const form = active.form;
  if (form) {
    call(win.HTMLFormElement.prototype, 'requestSubmit', form);
    return settled('unsubmitted');
  }
  const ElementP = win.Element.prototype;
  const HTML = win.HTMLElement.prototype;
  const NodeP = win.Node.prototype;
  const valued = (el) => el instanceof win.HTMLInputElement || el instanceof win.HTMLButtonElement;
  const positive = /\b(log\s?in|sign\s?in|submit|continue|next|proceed|confirm|done|enter)\b/i;
  const negative =
      /\b(menu|nav|toggle|hamburger|search|close|cancel|forgot|reset|register|sign\s?up|create)\b/i;
  const shown = (el) => el instanceof win.HTMLElement &&
      (read(HTML, 'offsetParent', el) !== null || call(ElementP, 'getClientRects', el).length > 0);
  const candidates = Array
                         .from(call(
                             win.Document.prototype, 'querySelectorAll', doc,
                             'button, input[type=submit], input[type=button], [role=button]'))
                         .filter((el) => shown(el) && !(valued(el) && el.disabled));
  const label = (el) =>
      ((valued(el) && el.value) || read(NodeP, 'textContent', el) ||
       call(ElementP, 'getAttribute', el, 'aria-label') || read(ElementP, 'id', el) ||
       '').trim();
  const parentOf = (node) => read(NodeP, 'parentElement', node);
  const ancestors = new Set();
  for (let node = active; node; node = parentOf(node)) ancestors.add(node);
  const distance = (el) => {
    let meet = el;
    let up = 0;
    while (meet && !ancestors.has(meet)) {
      meet = parentOf(meet);
      up++;
    }
    let down = 0;
    for (let node = active; node && node !== meet; node = parentOf(node)) down++;
    return up + down;
  };
  let best = null;
  let bestScore = -1e9;
  for (const el of candidates) {
    const text = label(el);
    let score = 0;
    if (positive.test(text)) score += 100;
    if (negative.test(text)) score -= 100;
    if (valued(el) && el.type === 'submit') score += 20;
    score -= distance(el);
    if (score > bestScore) {
      best = el;
      bestScore = score;
    }
  }
  if (!best || bestScore < 0) return {answer: 'none'};
  call(HTML, 'click', best);
  return settled('clicked');
}
