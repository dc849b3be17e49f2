// The module frame: what every compiled module of this kind is made of. A module
// source includes this header (and flow.h if it needs `with` or `except`) and
// nothing else of the frame.
#pragma once

#include "call.h"
#include "ref.h"
#include "table.h"
