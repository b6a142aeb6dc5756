// Called on the located element: empties its value, which its document's guard
// then no longer holds.
function() {
  const doc = D(Node.prototype, 'ownerDocument').get.call(this);
  const win = doc && D(Document.prototype, 'defaultView').get.call(doc);
  if (!win || !(this instanceof win.HTMLInputElement || this instanceof win.HTMLTextAreaElement))
    return;
  const proto = this instanceof win.HTMLTextAreaElement ? win.HTMLTextAreaElement.prototype :
                                                          win.HTMLInputElement.prototype;
  D(proto, 'value').set.call(this, '');
  guardOf(win).forget(this);
}
