// Called in this controller's world with the selector list and a mode: the
// visible matches in this document (each frame's document is searched in a world
// of its own), as {"answer": "found", "count", "type", "origin", "href",
// "frames"}: the count, the first match's own type ("<tag>" for an element that
// is no input), the origin of the document ("null" when opaque), its address
// (only in the top document: a frame's may be long, and nobody asks for it), and
// how many elements of the document may hold a frame. In mode "count" that
// answer comes as JSON text. In mode "focus" the single match is focused and
// handed out (null unless there is exactly one); in mode "sole" likewise when it
// is the only match and the document holds no frame, else the JSON text. A
// match is handed out as the answer object itself, made in this world and so out
// of the page's reach, with the element as its hidden member `el`. Members of
// the document, and of matched elements (a selector may match a form), are read
// through the interfaces' accessors: named elements and controls shadow them.
function(sel, mode) {
  const windowOf = (el) =>
      read(Document.prototype, 'defaultView', read(Node.prototype, 'ownerDocument', el));
  const visible = (el) => {
    try {
      if (el instanceof windowOf(el).HTMLElement &&
          read(HTMLElement.prototype, 'offsetParent', el) !== null) {
        return true;
      }
      return call(Element.prototype, 'getClientRects', el).length > 0;
    } catch (e) {
      return false;
    }
  };
  const found = [];
  try {
    for (const el of call(Document.prototype, 'querySelectorAll', document, sel)) {
      if (visible(el)) found.push(el);
    }
  } catch (e) {
  }
  const el = found[0];
  const frames =
      call(Document.prototype, 'querySelectorAll', document, 'iframe, frame, object, embed').length;
  const type = !el                   ? '' :
      el instanceof HTMLInputElement ? el.type :
                                       '<' + read(Element.prototype, 'localName', el) + '>';
  const answer = {
    answer: 'found',
    count: found.length,
    type,
    origin: String(origin),
    href: top === window ? String(location.href) : '',
    frames
  };
  const handOut = found.length === 1 && (mode === 'focus' || (mode === 'sole' && frames === 0));
  if (!handOut) return mode === 'focus' ? null : JSON.stringify(answer);
  if (el instanceof windowOf(el).HTMLElement) call(HTMLElement.prototype, 'focus', el);
  Object.defineProperty(answer, 'el', {value: el});
  return answer;
}
