// Called on the located element with the text, the field kind, the origin its fill was locked to,
// and its binding ({lockedTo, https, hosts, sites: [{domain, tenants}]}, see the guard). In one
// synchronous run: the checks, then the value through the native setter and the input and change
// events, and the element joins its document's submission guard with what it holds after them.
// Answers {"answer": "typed"}, {"answer": "changed", "what"}, {"answer": "opaque"} or
// {"answer": "origin", "origin"}.
function(text, kind, origin, binding) {
  const changed = (what) => ({answer: 'changed', what});
  const el = this;
  const doc = read(Node.prototype, 'ownerDocument', el);
  const win = doc ? read(Document.prototype, 'defaultView', doc) : null;
  if (!read(Node.prototype, 'isConnected', el) || !win) {
    return changed('the field was removed from the page');
  }
  if (win.origin === 'null') return {answer: 'opaque'};
  if (win.origin !== origin) return {answer: 'origin', origin: win.origin};
  const input = el instanceof win.HTMLInputElement;
  const area = el instanceof win.HTMLTextAreaElement;
  const tag = '<' + read(Element.prototype, 'localName', el) + '>';
  if (kind === 'password' && !(input && el.type === 'password')) {
    return changed(
        'the field is no longer a password input (type=' + (input ? el.type : tag) + ')');
  }
  if (!input && !area) return changed('the field is not an input (' + tag + ')');
  if (el.disabled || el.readOnly) return changed('the field no longer takes input');
  const Doc = win.Document.prototype;
  if (read(Doc, 'activeElement', doc) !== el) return changed('the field lost the focus');
  const ownerOf = (node) => read(Node.prototype, 'ownerDocument', node);
  for (let w = win; w.frameElement; w = read(Doc, 'defaultView', ownerOf(w.frameElement))) {
    if (read(Doc, 'activeElement', ownerOf(w.frameElement)) !== w.frameElement) {
      return changed('the field lost the focus');
    }
  }
  const value =
      D(input ? win.HTMLInputElement.prototype : win.HTMLTextAreaElement.prototype, 'value');
  value.set.call(el, text);
  el.dispatchEvent(new win.Event('input', {bubbles: true}));
  el.dispatchEvent(new win.Event('change', {bubbles: true}));
  // The browser rewrites some values as they are set (line breaks, blanks), and the page's handlers
  // may format them: the element is guarded with what it holds now as well as with the text.
  guardOf(win).typed(
      el, {values: [text, value.get.call(el)], password: kind === 'password', binding});
  return {answer: 'typed'};
}
