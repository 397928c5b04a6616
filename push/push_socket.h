#pragma once
// The push channel's and push simulator's sockets come from the service's one
// socket layer.
#include "common/net_socket.h"
