// The core's listener for remote clients: a thread that accepts and one
// thread per client running a wire session against the core.
#ifndef PLEXORD_SERVER_H
#define PLEXORD_SERVER_H

namespace plexord {

struct Core;

// Starts listening on the core's configured address; a failure is logged,
// not fatal. Harmless when already listening.
void server_start(Core &c);
// Closes the listener and every client, cutting their waits, and joins the
// threads. Harmless when not listening.
void server_stop();
// The port listened on, 0 when not listening.
int server_port();

} // namespace plexord

#endif
