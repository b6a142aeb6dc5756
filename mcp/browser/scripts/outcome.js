// Called on the located element after a key press: what its document's guard
// saw since the submit began, as {"answer": "refused"|"started"|"taken"|"none",
// "reason"}.
function() {
  const doc = D(Node.prototype, 'ownerDocument').get.call(this);
  const win = doc && D(Document.prototype, 'defaultView').get.call(doc);
  if (!win) return {answer: 'none', reason: ''};
  const seen = guardOf(win).end();
  return {answer: seen.outcome, reason: seen.reason};
}
