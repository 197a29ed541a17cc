#include "Common/Protobuf/ProtobufConversion.h"

#include "Common/GameObjects/Player.h"

void ProtobufConversion::playerData(Velmor::PlayerData* dest, const Player* source) {
    dest->set_blueteam(source->team == Team::Blue);
    dest->set_health(source->health);
    dest->set_name(source->name);
}
