#include "Common/Protobuf/Object.pb.h"

#include <iterator>
#include <string>
#include <vector>

#include <google/protobuf/descriptor.pb.h>
#include <gtest/gtest.h>

#include "Support/Wire/Bytes.h"

namespace {

namespace pb = google::protobuf;

// One field as "name number label type", the type being the scalar's or the message's name.
std::string describeField(const pb::FieldDescriptor* field) {
    static const char* const labels[] = {"", "optional", "required", "repeated"};
    std::string type;
    if (field->type() == pb::FieldDescriptor::TYPE_MESSAGE)
        type = field->message_type()->full_name();
    else if (field->type() == pb::FieldDescriptor::TYPE_ENUM)
        type = field->enum_type()->full_name();
    else
        type = field->type_name();
    return field->name() + " " + std::to_string(field->number()) + " " + labels[field->label()] + " " + type;
}

std::string describeMessage(const pb::Descriptor* message) {
    std::string text;
    for (int i = 0; i < message->field_count(); ++i)
        text += (i ? "|" : "") + describeField(message->field(i));
    return text;
}

struct SchemaMessage {
    const char* name;
    const char* fields;
};

// The schema as the peers expect it, in declaration order.
const SchemaMessage kSchema[] = {
    {"Position", "x 1 required float|y 2 required float|z 3 required float"},
    {"Orientation", "x 1 required float|y 2 required float|z 3 required float|w 4 required float"},
    {"ObjectInfo", "id 1 required uint64|objectType 2 required uint32|timestamp 3 required uint32|"
                   "position 4 required Velmor.Position|orientation 5 required Velmor.Orientation|"
                   "playerdata 6 optional Velmor.PlayerData|projectiledata 7 optional Velmor.ProjectileData"},
    {"PlayerData", "health 1 required float|blueTeam 2 optional bool|name 3 optional string|score 4 optional int32|"
                   "redTeamScore 5 optional int32|blueTeamScore 6 optional int32"},
    {"ServerObjectData", "position 1 required Velmor.Position|velocity 2 required Velmor.Position"},
    {"ProjectileData", "velocity 1 required Velmor.Position|blueTeam 2 required bool|shooterId 3 required uint64"},
    {"ObjectUpdate", "id 1 required uint64|timestamp 2 required uint32|position 3 optional Velmor.Position|"
                     "orientation 4 optional Velmor.Orientation|latency_serial_num 5 optional uint32"},
    {"ObjectDestroy", "id 1 required uint64"},
    {"Logout", "logoutAsType 1 required uint32"},
    {"Login", "loginType 1 required uint32|name 2 optional string|serverId 3 optional uint32|qport 4 optional uint32|"
              "timestamp 5 optional uint32|port 6 optional string"},
    {"ServerWelcome", "qport 1 required uint32"},
    {"CoordinatorWelcome", "timestamp 1 required uint32|overloadedCPUBorder 2 required uint32|"
                           "underloadedCPUBorder 3 required uint32|averageloadedCPUBorder 4 required uint32"},
    {"ConnectToNearBy", "host 1 required string|port 2 required string|isYourNewMaster 3 required bool|"
                        "min 4 required Velmor.Position|max 5 required Velmor.Position"},
    {"PlayerConnectInfo", "qport 1 required uint32|host 2 required string"},
    {"TransferControl", "id 1 required uint64|data 2 required Velmor.ServerObjectData|"
                        "playerInfo 3 optional Velmor.PlayerConnectInfo|objectInfo 4 optional Velmor.ObjectInfo"},
    {"TransferPlayerTo", "playerId 1 required uint64|host 2 required string|port 3 required string|"
                         "min 4 required Velmor.Position|max 5 required Velmor.Position"},
    {"Welcome", "id 1 required uint64|qport 2 required uint32|playerdata 3 required Velmor.PlayerData|"
                "min 4 required Velmor.Position|max 5 required Velmor.Position"},
    {"ClientUpdate", "orientation 1 required Velmor.Orientation|boostersOn 2 required uint32|"
                     "latency_serial_num 3 optional uint32"},
    {"NeighbourHost", "serverid 1 required uint32|host 2 required string|port 3 required string"},
    {"Region", "regionId 1 required uint32|min 2 required Velmor.Position|max 3 required Velmor.Position|"
               "hostId 4 required uint32|neighbourIds 5 repeated uint32"},
    {"RegionUpdate", "hosts 1 repeated Velmor.NeighbourHost|regions 2 repeated Velmor.Region"},
    {"ExistingRegion", "regionId 1 required uint32|population 2 required uint32"},
    {"FutureRegions", "threeXthreeXthree 1 repeated uint32|twoXtwoXtwo 2 repeated uint32"},
    {"ServerStatus",
     "status 1 required Velmor.ServerStatus.InfoType|cpuLoad 2 required uint32|"
     "existingRegionStatus 3 repeated Velmor.ExistingRegion|futureRegions 4 optional Velmor.FutureRegions"},
    {"Ping", "ping_serial_num 1 required uint32"},
    {"Pong", "ping_serial_num 1 required uint32"},
};

TEST(ObjectSchemaTest, FileHoldsTheMessagesInOrderWithTheirFields) {
    const pb::FileDescriptor* file = Velmor::Position::descriptor()->file();
    EXPECT_EQ(file->name(), "Object.proto");
    EXPECT_EQ(file->package(), "Velmor");
    EXPECT_EQ(file->syntax(), pb::FileDescriptor::SYNTAX_PROTO2);
    EXPECT_EQ(file->dependency_count(), 0);
    EXPECT_EQ(file->service_count(), 0);
    EXPECT_EQ(file->extension_count(), 0);
    EXPECT_EQ(file->enum_type_count(), 0);
    EXPECT_EQ(file->options().ByteSizeLong(), 0u) << "no file options";
    ASSERT_EQ(file->message_type_count(), static_cast<int>(std::size(kSchema)));
    for (int i = 0; i < file->message_type_count(); ++i) {
        const pb::Descriptor* message = file->message_type(i);
        EXPECT_EQ(message->name(), kSchema[i].name) << i;
        EXPECT_EQ(describeMessage(message), kSchema[i].fields) << message->name();
        EXPECT_EQ(message->options().ByteSizeLong(), 0u) << message->name();
        EXPECT_EQ(message->nested_type_count(), 0) << message->name();
        for (int f = 0; f < message->field_count(); ++f) {
            EXPECT_FALSE(message->field(f)->has_default_value()) << message->field(f)->full_name();
            EXPECT_EQ(message->field(f)->options().ByteSizeLong(), 0u) << message->field(f)->full_name();
        }
    }
}

TEST(ObjectSchemaTest, StatusEnumerationDefaultsToOverloaded) {
    const pb::EnumDescriptor* infoType = Velmor::ServerStatus_InfoType_descriptor();
    EXPECT_EQ(infoType->full_name(), "Velmor.ServerStatus.InfoType");
    ASSERT_EQ(infoType->value_count(), 2);
    EXPECT_EQ(infoType->value(0)->name(), "Overloaded");
    EXPECT_EQ(infoType->value(0)->number(), 1);
    EXPECT_EQ(infoType->value(1)->name(), "Normal");
    EXPECT_EQ(infoType->value(1)->number(), 2);
    for (int value : {-1, 0, 3, 256})
        EXPECT_FALSE(Velmor::ServerStatus_InfoType_IsValid(value)) << value;

    // Absent, it reads as its first value, and an encoding of it in that state omits it.
    Velmor::ServerStatus status;
    EXPECT_FALSE(status.has_status());
    EXPECT_EQ(status.status(), Velmor::ServerStatus::Overloaded);
    status.set_cpuload(7);
    EXPECT_FALSE(status.IsInitialized());
    EXPECT_EQ(status.SerializePartialAsString(), std::string("\x10\x07", 2));
}

// Builds a message from its encoding; tests of the decoder's rules start from raw bytes.
template <class M> bool parses(const std::string& bytes, M* message) {
    return message->ParseFromArray(bytes.data(), static_cast<int>(bytes.size()));
}

TEST(ObjectWireTest, ScalarEncodings) {
    Velmor::Ping ping;
    ping.set_ping_serial_num(5);
    EXPECT_EQ(ping.SerializeAsString(), bytes({0x08, 0x05}));

    // Floats are 4 fixed bytes, little-endian.
    Velmor::Position position;
    position.set_x(1.0f);
    position.set_y(0.0f);
    position.set_z(-2.0f);
    EXPECT_EQ(position.SerializeAsString(), bytes({0x0d, 0, 0, 0x80, 0x3f, 0x15, 0, 0, 0, 0, 0x1d, 0, 0, 0, 0xc0}));

    // A negative int32 takes ten varint bytes.
    Velmor::PlayerData data;
    data.set_health(0);
    data.set_score(-1);
    EXPECT_EQ(data.SerializeAsString(),
              bytes({0x0d, 0, 0, 0, 0, 0x20, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}));

    // Repeated scalars are never packed: one tag per element.
    Velmor::Region region;
    region.add_neighbourids(1);
    region.add_neighbourids(300);
    EXPECT_EQ(region.SerializePartialAsString(), bytes({0x28, 0x01, 0x28, 0xac, 0x02}));

    // An empty update is a valid message of zero bytes.
    Velmor::RegionUpdate update;
    EXPECT_EQ(update.SerializeAsString(), "");
    EXPECT_TRUE(parses("", &update));
}

TEST(ObjectWireTest, FullMessagesRoundTrip) {
    Velmor::TransferControl control;
    control.set_id(0x0000000300000002ull);
    control.mutable_data()->mutable_position()->set_x(1.5f);
    control.mutable_data()->mutable_position()->set_y(-2);
    control.mutable_data()->mutable_position()->set_z(3);
    *control.mutable_data()->mutable_velocity() = control.data().position();
    control.mutable_playerinfo()->set_qport(0x30001);
    control.mutable_playerinfo()->set_host("127.0.0.1");
    Velmor::ObjectInfo* info = control.mutable_objectinfo();
    info->set_id(control.id());
    info->set_objecttype(0);
    info->set_timestamp(4000000000u);
    *info->mutable_position() = control.data().position();
    info->mutable_orientation()->set_w(1);
    info->mutable_orientation()->set_x(0);
    info->mutable_orientation()->set_y(0);
    info->mutable_orientation()->set_z(0);
    info->mutable_playerdata()->set_health(100);
    info->mutable_playerdata()->set_name("pilot");
    ASSERT_TRUE(control.IsInitialized());

    Velmor::TransferControl back;
    ASSERT_TRUE(parses(control.SerializeAsString(), &back));
    EXPECT_EQ(back.DebugString(), control.DebugString());
    EXPECT_EQ(back.objectinfo().timestamp(), 4000000000u);

    Velmor::ServerStatus status;
    status.set_status(Velmor::ServerStatus::Normal);
    status.set_cpuload(95);
    Velmor::ExistingRegion* region = status.add_existingregionstatus();
    region->set_regionid(4);
    region->set_population(12);
    for (int i = 0; i < 27; ++i)
        status.mutable_futureregions()->add_threexthreexthree(i);
    Velmor::ServerStatus statusBack;
    ASSERT_TRUE(parses(status.SerializeAsString(), &statusBack));
    EXPECT_EQ(statusBack.DebugString(), status.DebugString());
}

// Encodings written by hand, as a peer could send them.
struct ParseCase {
    const char* what;
    std::string encoding;
    bool parses;
};

template <class M> void checkParseCases(const std::vector<ParseCase>& cases) {
    for (const ParseCase& c : cases) {
        M message;
        EXPECT_EQ(parses(c.encoding, &message), c.parses) << c.what;
    }
}

TEST(ObjectWireTest, RequiredFieldsDecideWhetherAnEncodingParses) {
    const std::string orientation =
        bytes({0x0a, 20, 0x0d, 0, 0, 0, 0, 0x15, 0, 0, 0, 0, 0x1d, 0, 0, 0, 0, 0x25, 0, 0, 0x80, 0x3f});
    checkParseCases<Velmor::ClientUpdate>({
        {"orientation and boosters", orientation + bytes({0x10, 3}), true},
        {"without boostersOn", orientation, false},
        {"orientation lacking w", bytes({0x0a, 15, 0x0d, 0, 0, 0, 0, 0x15, 0, 0, 0, 0, 0x1d, 0, 0, 0, 0, 0x10, 3}),
         false},
        {"truncated varint", orientation + bytes({0x10}), false},
        {"length beyond the end", bytes({0x0a, 30}) + orientation.substr(2) + bytes({0x10, 3}), false},
    });
    checkParseCases<Velmor::ServerStatus>({
        {"status and cpuLoad", bytes({0x08, 2, 0x10, 50}), true},
        {"without cpuLoad", bytes({0x08, 2}), false},
        {"without status", bytes({0x10, 50}), false},
        {"status 3", bytes({0x08, 3, 0x10, 50}), false},
        {"empty futureRegions", bytes({0x08, 1, 0x10, 50, 0x22, 0}), true},
        {"existing region lacking population", bytes({0x08, 1, 0x10, 50, 0x1a, 2, 0x08, 1}), false},
    });

    Velmor::TransferControl control;
    control.set_id(9);
    Velmor::ServerObjectData* data = control.mutable_data();
    for (Velmor::Position* p : {data->mutable_position(), data->mutable_velocity()}) {
        p->set_x(0);
        p->set_y(0);
        p->set_z(0);
    }
    const std::string bare = control.SerializeAsString();
    Velmor::ObjectInfo* info = control.mutable_objectinfo();
    info->set_id(9);
    info->set_objecttype(1);
    info->set_timestamp(1);
    *info->mutable_position() = data->position();
    checkParseCases<Velmor::TransferControl>({
        {"without objectInfo and playerInfo", bare, true},
        {"objectInfo lacking orientation", control.SerializePartialAsString(), false},
    });
}

TEST(ObjectWireTest, OutOfRangeStatusIsKeptAsUnknownFieldOne) {
    Velmor::ServerStatus status;
    EXPECT_FALSE(parses(bytes({0x08, 3, 0x10, 50}), &status));
    EXPECT_FALSE(status.has_status());
    EXPECT_EQ(status.cpuload(), 50u);
    const pb::UnknownFieldSet& unknown = status.GetReflection()->GetUnknownFields(status);
    ASSERT_EQ(unknown.field_count(), 1);
    EXPECT_EQ(unknown.field(0).number(), 1);
    EXPECT_EQ(unknown.field(0).type(), pb::UnknownField::TYPE_VARINT);
    EXPECT_EQ(unknown.field(0).varint(), 3u);
}

TEST(ObjectWireTest, MissingFieldsAreListedByTheirPaths) {
    Velmor::TransferControl control;
    control.set_id(1);
    control.mutable_data()->mutable_position()->set_y(0);
    control.mutable_data()->mutable_position()->set_z(0);
    Velmor::Position* velocity = control.mutable_data()->mutable_velocity();
    velocity->set_x(0);
    velocity->set_y(0);
    velocity->set_z(0);
    std::vector<std::string> errors;
    control.FindInitializationErrors(&errors);
    EXPECT_EQ(errors, std::vector<std::string>{"data.position.x"});

    Velmor::RegionUpdate update;
    update.add_hosts()->set_serverid(1);
    errors.clear();
    update.FindInitializationErrors(&errors);
    EXPECT_EQ(errors, (std::vector<std::string>{"hosts[0].host", "hosts[0].port"}));

    // Still encodes, with what is present.
    EXPECT_FALSE(control.IsInitialized());
    Velmor::TransferControl partial;
    EXPECT_TRUE(partial.ParsePartialFromString(control.SerializePartialAsString()));
    EXPECT_EQ(partial.DebugString(), control.DebugString());
}

TEST(ObjectWireTest, FieldsThatOccurTwiceMergeOrReplace) {
    // id twice keeps the last; position twice is merged field by field.
    Velmor::ObjectUpdate update;
    ASSERT_TRUE(parses(bytes({0x08, 1,    0x10, 0, 0x08, 2,    0x1a, 5, 0x0d, 0, 0, 0x80, 0x3f, 0x1a,
                              5,    0x15, 0,    0, 0,    0x40, 0x1a, 5, 0x1d, 0, 0, 0x40, 0x40}),
                       &update));
    EXPECT_EQ(update.id(), 2u);
    EXPECT_EQ(update.position().x(), 1.0f);
    EXPECT_EQ(update.position().y(), 2.0f);
    EXPECT_EQ(update.position().z(), 3.0f);
}

TEST(ObjectWireTest, UnknownFieldsSurviveACopyAndAreEncodedAgain) {
    // ObjectDestroy id 7, then an unknown field 9 (varint 42) that a newer peer might send.
    const std::string encoding = bytes({0x08, 7, 0x48, 42});
    Velmor::TransferControl control;
    Velmor::ObjectDestroy destroy;
    ASSERT_TRUE(parses(encoding, &destroy));
    Velmor::ObjectDestroy copy(destroy);
    EXPECT_EQ(copy.SerializeAsString(), encoding);

    // The one copy the server makes: the objectInfo out of a received TransferControl.
    control.set_id(3);
    control.mutable_data()->mutable_position()->set_x(0);
    Velmor::ObjectInfo* info = control.mutable_objectinfo();
    info->set_id(3);
    info->mutable_unknown_fields()->AddVarint(15, 99);
    Velmor::TransferControl received;
    ASSERT_TRUE(received.ParsePartialFromString(control.SerializePartialAsString()));
    Velmor::ObjectInfo taken(received.objectinfo());
    EXPECT_EQ(taken.id(), 3u);
    EXPECT_EQ(taken.SerializePartialAsString(), info->SerializePartialAsString());
    EXPECT_EQ(taken.GetReflection()->GetUnknownFields(taken).field(0).varint(), 99u);
}

TEST(ObjectWireTest, NamesThatAreNotUtf8AreKeptUnchanged) {
    Velmor::Login login;
    const std::string name = bytes({'a', 0xff, 0xfe, 0, 'b'});
    ASSERT_TRUE(parses(bytes({0x08, 0, 0x12, 5}) + name, &login));
    EXPECT_EQ(login.name(), name);
    EXPECT_EQ(login.SerializeAsString(), bytes({0x08, 0, 0x12, 5}) + name);
}

TEST(ObjectWireTest, AbsentSubMessagesReadAsTheDefaultInstance) {
    Velmor::ObjectUpdate update;
    EXPECT_FALSE(update.has_position());
    EXPECT_EQ(&update.position(), &Velmor::Position::default_instance());
    EXPECT_EQ(update.orientation().w(), 0.0f);
    update.mutable_position();
    EXPECT_TRUE(update.has_position());
    update.Clear();
    EXPECT_FALSE(update.has_position());
}

} // namespace
