#pragma once
// The IM client's and IM simulator's sockets come from the service's one
// socket layer.
#include "common/net_socket.h"
