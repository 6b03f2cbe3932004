// settings.cpp -- storage of the request handlers' settings.
#include "api/settings.h"

ApiSettings apiSettings;
