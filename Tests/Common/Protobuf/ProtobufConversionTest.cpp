#include "Common/Protobuf/ProtobufConversion.h"

#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "Common/GameObjects/Player.h"

namespace {

bool sameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof(float)) == 0;
}

TEST(ProtobufConversionTest, PositionCopiesEveryComponentUnchanged) {
    const float inf = std::numeric_limits<float>::infinity();
    const Vector3 cases[] = {{1.5f, -2.25f, 3e30f}, {-0.0f, 0.0f, -0.0f}, {inf, -inf, std::nanf("")}};
    for (const Vector3& v : cases) {
        Velmor::Position message;
        ProtobufConversion::position(&message, &v);
        EXPECT_TRUE(message.has_x() && message.has_y() && message.has_z());
        EXPECT_TRUE(message.IsInitialized());
        EXPECT_TRUE(sameBits(message.x(), v.x) && sameBits(message.y(), v.y) && sameBits(message.z(), v.z))
            << v.toString();

        // Through the wire and back.
        Velmor::Position received;
        ASSERT_TRUE(received.ParseFromString(message.SerializeAsString()));
        Vector3 back(7, 7, 7);
        ProtobufConversion::position(&back, &received);
        EXPECT_TRUE(sameBits(back.x, v.x) && sameBits(back.y, v.y) && sameBits(back.z, v.z)) << v.toString();
    }
}

TEST(ProtobufConversionTest, OrientationMatchesComponentsByName) {
    const Quaternion identity(1, 0, 0, 0);
    Velmor::Orientation message;
    ProtobufConversion::orientation(&message, &identity);
    EXPECT_EQ(message.w(), 1.0f);
    EXPECT_EQ(message.x(), 0.0f);
    EXPECT_EQ(message.y(), 0.0f);
    EXPECT_EQ(message.z(), 0.0f);
    EXPECT_TRUE(message.IsInitialized());
    // w travels last, as field 4: 0x25 then 1.0f.
    EXPECT_EQ(message.SerializeAsString().substr(15), std::string("\x25\x00\x00\x80\x3f", 5));

    const Quaternion q(0.5f, -0.25f, 0.125f, 2.0f);
    ProtobufConversion::orientation(&message, &q);
    Quaternion back(9, 9, 9, 9);
    ProtobufConversion::orientation(&back, &message);
    EXPECT_EQ(back, q);
}

TEST(ProtobufConversionTest, AbsentFieldsReadAsZero) {
    // Not the identity and not the original values: every component comes from the record.
    Velmor::Orientation emptyOrientation;
    Quaternion q(1, 2, 3, 4);
    ProtobufConversion::orientation(&q, &emptyOrientation);
    EXPECT_EQ(q, Quaternion(0, 0, 0, 0));

    Velmor::Position emptyPosition;
    Vector3 v(1, 2, 3);
    ProtobufConversion::position(&v, &emptyPosition);
    EXPECT_EQ(v, Vector3());
}

TEST(ProtobufConversionTest, PlayerDataMarksOnlyBlueAsBlueAndLeavesScoresAlone) {
    const struct {
        Team::Team team;
        bool blueTeam;
    } cases[] = {{Team::Red, false}, {Team::None, false}, {Team::Blue, true}};
    for (const auto& c : cases) {
        Player player(uint64_t(0x500000002ull), c.team, 100);
        player.health = 57.58f;
        player.name = std::string("pi\xfflot", 6);
        player.score = 12;

        Velmor::PlayerData data;
        data.set_score(3);
        data.set_redteamscore(4);
        ProtobufConversion::playerData(&data, &player);
        EXPECT_TRUE(data.has_blueteam()) << c.team;
        EXPECT_EQ(data.blueteam(), c.blueTeam) << c.team;
        EXPECT_EQ(data.health(), 57.58f);
        EXPECT_EQ(data.name(), player.name);
        EXPECT_EQ(data.score(), 3);
        EXPECT_EQ(data.redteamscore(), 4);
        EXPECT_FALSE(data.has_blueteamscore());
        EXPECT_TRUE(data.IsInitialized());
    }
}

} // namespace
