#include "render/shaders/shader_constant_buffer.h"

#include "foundation/log.h"
#include "foundation/memory/allocator.h"
#include "foundation/strings/name_id.h"

#include <cstring>

namespace tallow {

u32 shader_value_size(u32 type)
{
    static const u32 sizes[shader_value_type_count] = {4, 8, 12, 64, 4, 8, 12, 64};
    return type < shader_value_type_count ? sizes[type] : 0;
}

u64 shader_variable_bytes(const ShaderVariableDesc &variable)
{
    return u64(shader_value_size(variable.type)) * (variable.count == 0 ? 1u : variable.count);
}

u32 layout_shader_variables(ShaderVariableDesc *variables, u32 count)
{
    u64 running = 0;
    for (u32 i = 0; i < count; ++i) {
        const u64 bytes = shader_variable_bytes(variables[i]);
        if (bytes == 0)
            return variable_not_found;
        running = (running + 3) & ~u64(3);
        if (running + bytes > max_constant_block_bytes)
            return variable_not_found;
        variables[i].offset = u32(running);
        running += bytes;
    }
    return u32(running);
}

ShaderConstantBuffer::ShaderConstantBuffer(Allocator &allocator) : _allocator(allocator), _variables(allocator) {}

ShaderConstantBuffer::~ShaderConstantBuffer()
{
    if (_block)
        _allocator.deallocate(_block);
}

bool ShaderConstantBuffer::set_description(const ShaderVariableDesc *variables, u32 count)
{
    _variables.resize(count);
    if (count)
        memcpy(_variables.data(), variables, sizeof(ShaderVariableDesc) * count);
    if (layout() == variable_not_found) {
        log_message("render", "constant block description refused: unknown value type or more than %u bytes",
                    max_constant_block_bytes);
        _variables.clear();
        _layout_size = 0;
        return false;
    }
    return true;
}

u32 ShaderConstantBuffer::layout()
{
    _layout_size = layout_shader_variables(_variables.data(), _variables.size());
    return _layout_size;
}

bool ShaderConstantBuffer::allocate(u32 size_bytes)
{
    if (_layout_size == variable_not_found || size_bytes < _layout_size)
        return false;
    if (_block)
        _allocator.deallocate(_block);
    _block = nullptr;
    _size = 0;
    if (size_bytes == 0)
        return true;
    _block = static_cast<u8 *>(_allocator.allocate(size_bytes, 4));
    if (!_block)
        return false;
    memset(_block, 0, size_bytes);
    _size = size_bytes;
    return true;
}

u32 ShaderConstantBuffer::find_variable(u32 name) const
{
    for (const ShaderVariableDesc &v : _variables)
        if (v.name == name)
            return v.offset;
    return variable_not_found;
}

u32 ShaderConstantBuffer::find_variable(const char *name) const { return find_variable(NameId32(name).value()); }

void *ShaderConstantBuffer::value_ptr(u32 index)
{
    if (index >= _variables.size())
        return nullptr;
    const ShaderVariableDesc &v = _variables[index];
    if (!_block || u64(v.offset) + shader_variable_bytes(v) > _size)
        return nullptr;
    return _block + v.offset;
}

bool ShaderConstantBuffer::set_by_id(u32 name, u32 value)
{
    for (u32 i = 0; i < _variables.size(); ++i) {
        if (_variables[i].name != name)
            continue;
        void *p = value_ptr(i);
        if (!p)
            return false;
        memcpy(p, &value, 4);
        return true;
    }
    return false;
}

void ShaderConstantBuffer::copy_defaults(const ShaderConstantBuffer &source)
{
    copy_matching_variables(source._variables.data(), source._variables.size(), source._block, source._size,
                            _variables.data(), _variables.size(), _block, _size);
}

void copy_matching_variables(const ShaderVariableDesc *from_vars, u32 from_count, const u8 *from_block, u32 from_size,
                             const ShaderVariableDesc *to_vars, u32 to_count, u8 *to_block, u32 to_size)
{
    if (!from_block || !to_block)
        return;
    for (u32 i = 0; i < to_count; ++i) {
        const ShaderVariableDesc &to = to_vars[i];
        for (u32 j = 0; j < from_count; ++j) {
            const ShaderVariableDesc &from = from_vars[j];
            if (from.name != to.name || from.type != to.type || from.count != to.count)
                continue;
            const u64 bytes = shader_variable_bytes(to);
            if (u64(from.offset) + bytes <= from_size && u64(to.offset) + bytes <= to_size)
                memcpy(to_block + to.offset, from_block + from.offset, size_t(bytes));
            break;
        }
    }
}

} // namespace tallow
