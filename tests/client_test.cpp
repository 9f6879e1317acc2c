#include <gtest/gtest.h>

#include "testSupport.h"
#include "zodm.h"
