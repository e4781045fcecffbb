// The product as the console names it to the operator.
#ifndef OPSDESK_VERSION_H
#define OPSDESK_VERSION_H

#define OPSDESK_PRODUCT "Plexord"
#define OPSDESK_VERSION "1.13.0"

// Where the crash dialog asks the operator to send the report files.
#define OPSDESK_CRASH_ADDRESS "crash@plexord.example"

#endif
