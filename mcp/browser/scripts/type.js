// Called on the located element with the text, the field kind, the origin its
// fill was locked to, and its binding's key and text. In one synchronous run:
// the checks, then the value through the native setter and the input and change
// events, and the element joins its document's submission guard.
// Answers {"answer": "typed", "actions": [...]} (the origins, other than the
// document's, that a form of the document names as its action or a button as
// its formaction), or
// {"answer": "changed", "what"}, {"answer": "opaque"}, {"answer": "origin",
// "origin"}.
function(text, kind, origin, key, lockedTo) {
  const D = Object.getOwnPropertyDescriptor;
  const read = (proto, key, object) => D(proto, key).get.call(object);
  const call = (proto, key, object, ...args) =>
      D(proto, key).value.call(object, ...args);
  const changed = (what) => ({answer : 'changed', what});
  const el = this;
  const doc = read(Node.prototype, 'ownerDocument', el);
  const win = doc ? read(Document.prototype, 'defaultView', doc) : null;
  if (!read(Node.prototype, 'isConnected', el) || !win)
    return changed('the field was removed from the page');
  if (win.origin === 'null')
    return {answer : 'opaque'};
  if (win.origin !== origin)
    return {answer : 'origin', origin : win.origin};
  const input = el instanceof win.HTMLInputElement;
  const area = el instanceof win.HTMLTextAreaElement;
  const tag = '<' + read(Element.prototype, 'localName', el) + '>';
  if (kind === 'password' && !(input && el.type === 'password')) {
    return changed('the field is no longer a password input (type=' +
                   (input ? el.type : tag) + ')');
  }
  if (!input && !area)
    return changed('the field is not an input (' + tag + ')');
  if (el.disabled || el.readOnly)
    return changed('the field no longer takes input');
  const Doc = win.Document.prototype;
  if (read(Doc, 'activeElement', doc) !== el)
    return changed('the field lost the focus');
  const ownerOf = (node) => read(Node.prototype, 'ownerDocument', node);
  for (let w = win; w.frameElement;
       w = read(Doc, 'defaultView', ownerOf(w.frameElement))) {
    if (read(Doc, 'activeElement', ownerOf(w.frameElement)) !==
        w.frameElement) {
      return changed('the field lost the focus');
    }
  }
  const proto = input ? win.HTMLInputElement.prototype
                      : win.HTMLTextAreaElement.prototype;
  D(proto, 'value').set.call(el, text);
  el.dispatchEvent(new win.Event('input', {bubbles : true}));
  el.dispatchEvent(new win.Event('change', {bubbles : true}));
  guardOf(win).typed(
      el,
      {value : text, password : kind === 'password', origin, key, lockedTo});

  const actions = new Set();
  const add = (address) => {
    try {
      const url = new win.URL(address);
      if (url.protocol !== 'javascript:' && url.origin !== origin &&
          actions.size < 16)
        actions.add(url.origin);
    } catch (e) {
    }
  };
  for (const form of call(Doc, 'querySelectorAll', doc, 'form'))
    add(read(win.HTMLFormElement.prototype, 'action', form));
  for (const button of call(Doc, 'querySelectorAll', doc,
                            'button[formaction], input[formaction]'))
    add(button.formAction);
  return {answer : 'typed', actions : Array.from(actions)};
}
