#pragma once

#include "Common/Math/Quaternion.h"
#include "Common/Math/Vector3.h"
#include "Common/Protobuf/Object.pb.h"

class Player;

// Copies between the math types and the wire records, and a player into its record,
// destination first. Never tests presence in the source (absent fields read as 0) and
// copies floats unchanged. Callers that read an optional sub-message test its presence
// themselves.
class ProtobufConversion {
public:
    static inline void position(Velmor::Position* dest, const Vector3* source) {
        dest->set_x(source->x);
        dest->set_y(source->y);
        dest->set_z(source->z);
    }

    static inline void position(Vector3* dest, const Velmor::Position* source) {
        dest->x = source->x();
        dest->y = source->y();
        dest->z = source->z();
    }

    // Matched by name: the quaternion stores w first, the record has w as its last field.
    static inline void orientation(Velmor::Orientation* dest, const Quaternion* source) {
        dest->set_w(source->w);
        dest->set_x(source->x);
        dest->set_y(source->y);
        dest->set_z(source->z);
    }

    static inline void orientation(Quaternion* dest, const Velmor::Orientation* source) {
        dest->w = source->w();
        dest->x = source->x();
        dest->y = source->y();
        dest->z = source->z();
    }

    // What others display of a player. score and the team scores are left to the caller.
    // Defined with the world (ProtobufConversion.cpp), as it reads a Player.
    static void playerData(Velmor::PlayerData* dest, const Player* source);
};
