// Keys and TLS sides for tests: made in memory, never kept in a file.
#ifndef TESTS_TLS_SUPPORT_H
#define TESTS_TLS_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "channel.h"
#include "keys.h"

namespace tlstest {

inline tls::Identity identity() {
    std::string why;
    auto id = tls::Identity::generate(why);
    EXPECT_TRUE(id) << why;
    return std::move(*id);
}

// A side of TLS together with the identity it was made of.
struct Side {
    explicit Side(tls::Channel::Role role) : id(identity()), context(role, id) {}
    tls::Identity id;
    tls::Context context;
};

}  // namespace tlstest

#endif
