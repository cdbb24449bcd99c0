// Precompiled-header unit: compiles the common includes once.
#include "stdafx.h"
