// The station's open file and this run, shared by its parts.
#include "station_db.h"

#include "station.h"

StationDb station;

bool StationOn(void) { return station.db != nullptr && station.run != 0; }
