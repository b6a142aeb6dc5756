// libVarnAPIClient.so: the sync server's HTTP/JSON client. Its endpoints and wire models are
// built in this folder; the agent-access server links the library but calls nothing in it.
