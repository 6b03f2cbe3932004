// api_version.h -- the version of the news API: the first path segment of
// every route, and the "ver" of the node description.
#pragma once

constexpr const char* kApiVersion = "v1";
