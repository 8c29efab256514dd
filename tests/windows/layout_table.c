/* The size, alignment and member offsets of every platform type a miniport
 * shares with the system, and the value of every constant the driver's
 * declarations define, as the cross compiler sees them against one set of
 * declarations: the platform's own headers (KL_LAYOUT_OF_PLATFORM_HEADERS,
 * compiled as C) or the driver's (compiled as C++). Each entry names what it
 * measures, so that two tables can be compared entry by entry. */
#if defined(KL_LAYOUT_OF_PLATFORM_HEADERS)
#define NDIS_MINIPORT_DRIVER 1
#define NDIS50_MINIPORT 1
#include <ntddk.h>
#include <ndis.h>
#else
#include "platform/ndis.h"
#endif
#include <stddef.h>

#include "platform_constants.h"
#include "tests/windows/platform_layouts.h"

#ifdef __cplusplus
#define KL_ALIGNOF(type) alignof(type)
extern "C" {
#else
#define KL_ALIGNOF(type) _Alignof(type)
#endif

struct kl_layout_entry {
  char what[120];
  unsigned int value;
};

#define KL_TYPE_ENTRIES(type) \
  {"sizeof(" #type ")", sizeof(type)}, {"alignof(" #type ")", KL_ALIGNOF(type)},
#define KL_MEMBER_ENTRIES(type, member)                   \
  {"offsetof(" #type ", " #member ")", offsetof(type, member)}, \
      {"sizeof(" #type "::" #member ")", sizeof(((type*)0)->member)},
#define KL_CONSTANT_ENTRY(name) {#name, (unsigned int)(name)},

extern const struct kl_layout_entry kl_layout_table[];
__attribute__((used)) const struct kl_layout_entry kl_layout_table[] = {
    KL_PLATFORM_TYPES(KL_TYPE_ENTRIES) KL_PLATFORM_MEMBERS(KL_MEMBER_ENTRIES)
        KL_PLATFORM_CONSTANTS(KL_CONSTANT_ENTRY)};

#ifdef __cplusplus
}
#endif
