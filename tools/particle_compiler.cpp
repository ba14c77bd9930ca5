#include "tools/particle_compiler.h"
