#include <gtest/gtest.h>

#include "platform/trace.h"

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    qvx::trace::Register();
    int result = RUN_ALL_TESTS();
    qvx::trace::Unregister();
    return result;
}
