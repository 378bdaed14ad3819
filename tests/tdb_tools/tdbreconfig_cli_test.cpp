/* tdbreconfig run as a user would: being written. */
#include <gtest/gtest.h>
