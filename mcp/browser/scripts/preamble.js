// The head of every script this controller runs in a page. Members of documents and forms are read
// through the interfaces' own accessors, never as properties of the object: a form's named controls
// shadow the form's members, and named elements the document's, in every world.
const D = Object.getOwnPropertyDescriptor;
const read = (proto, key, object) => D(proto, key).get.call(object);
const call = (proto, key, object, ...args) => D(proto, key).value.call(object, ...args);
