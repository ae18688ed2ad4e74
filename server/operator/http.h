// The HTTP front end of the live page, at the edge of the server (the core knows nothing of
// HTTP): started for the whole run of the process when --http is given.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>

// Listens at `at`, served from the event step; 1, or 0 with the reason.
int openHttp(const sockaddr_in* at, std::string* why);
void closeHttp();
