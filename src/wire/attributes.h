// Reader and card attributes by the names the server uses for them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {

struct AttributeName {
    const char* name;
    uint32_t id;
};

extern const AttributeName kAttributeNames[];
extern const size_t kAttributeNameCount;

// Finds a name, ignoring ASCII case; false if the table has no such name.
bool LookUpAttribute(const char* name, uint32_t* id);

// The name of an attribute id; nullptr for one the table does not hold.
const char* NameOfAttribute(uint32_t id);

} // namespace velmora
