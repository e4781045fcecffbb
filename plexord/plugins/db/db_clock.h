// The controller clock of a simulated device: which items hold it and how
// its values are packed. All fields are in the PC's local time zone.
#ifndef PLEXORD_DB_CLOCK_H
#define PLEXORD_DB_CLOCK_H

#include <cstdint>

namespace dbclock {

enum Result { OK = 0, READ_ONLY, BAD_FLAG, BAD_VALUE };

enum Item { SECONDS, MINUTES, HOURS, WEEKDAY, DAY, MONTH, YEAR, SET_DATE, SET_TIME };

// The clock item an item name stands for ("V7766" ... "V7776"), or -1.
int item_of(const char *item);

// day + month * 32 + (year - 1970) * 512 (+ minutes of the day * 65536 with the time)
int64_t pack_date(int year, int month, int day);
int64_t pack_date_time(int year, int month, int day, int hour, int minute);

// The value of a clock item at device time t (seconds since 1970, UTC).
Result read(int item, const char *flag, int64_t t, int64_t &value);
// The device time after writing value to item at device time t. V7775 with
// flag "DB" sets date and time, with "B" the date; V7776 with "B" the time
// of day in minutes. Seconds become 0 when the time of day is set.
Result write(int item, const char *flag, int64_t value, int64_t t, int64_t &new_time);

} // namespace dbclock

#endif
