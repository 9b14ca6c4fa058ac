#include "platform/System/Json.h"
