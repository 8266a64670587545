#include "receiver/temporarytarget.h"
