#include <gtest/gtest.h>

#include "zodm.h"
