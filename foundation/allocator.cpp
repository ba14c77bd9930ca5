#include "foundation/allocator.h"

namespace tallow {

Allocator::Allocator(const char *name) : _name(name) {}

Allocator::~Allocator() = default;

u64 Allocator::allocated_size(const void *) { return 0; }

u64 Allocator::total_allocated() { return 0; }

void Allocator::backing_allocators(Array<Allocator *> &) {}

} // namespace tallow
