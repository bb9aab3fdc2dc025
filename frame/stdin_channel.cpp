#include "frame/stdin_channel.h"
