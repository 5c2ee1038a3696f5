// The settings store and the load and save of the four connection texts.

#include <gtest/gtest.h>
