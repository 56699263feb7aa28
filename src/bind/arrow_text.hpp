// Text columns of pandas' `str` dtype (Arrow storage) read from and built as Arrow buffers, so
// no per-value Python object or generic take is made: the texts of a column as views into its
// chunks, the runs of equal values of a key column, and a new column from offsets, bytes and
// validity bits that pandas takes over as it is.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bind/bind.hpp"
#include "core/packed_text.hpp"
#include "core/row_groups.hpp"
#include "core/text_gather.hpp"

namespace lumoreq::bind {

// Texts of a column as views into buffers kept alive by `owners`.
struct TextColumn {
    std::vector<core::TextCell> cells;
    std::vector<py::object> owners;
};

// One chunk of an Arrow string or large_string array, as raw pointers (kept alive by the
// chunk). `wide`: 64-bit offsets.
struct ArrowChunk {
    const std::uint8_t* validity = nullptr;
    const void* offsets = nullptr;
    const char* data = nullptr;
    std::size_t data_size = 0;
    std::int64_t offset = 0;
    std::size_t length = 0;
    bool wide = false;

    std::uint64_t offset_at(std::size_t i) const {
        if (wide) {
            std::int64_t v;
            std::memcpy(&v, static_cast<const char*>(offsets) + i * 8, 8);
            return v < 0 ? UINT64_MAX : static_cast<std::uint64_t>(v);
        }
        std::int32_t v;
        std::memcpy(&v, static_cast<const char*>(offsets) + i * 4, 4);
        return v < 0 ? UINT64_MAX : static_cast<std::uint64_t>(v);
    }
    bool valid(std::size_t i) const { return validity == nullptr || ((validity[i >> 3] >> (i & 7)) & 1); }
    // [first, end) of the bytes its values span (offsets ascend in a valid array)
    std::pair<std::uint64_t, std::uint64_t> byte_range() const {
        const auto begin = static_cast<std::size_t>(offset);
        return {offset_at(begin), offset_at(begin + length)};
    }
};

// The chunks of an Arrow-backed pandas array (anything with __arrow_array__ whose type is
// string or large_string), each checked against its buffer sizes; nullopt for anything else.
// `owners` keeps the chunks alive.
inline std::optional<std::vector<ArrowChunk>> arrow_string_chunks(const py::object& array,
                                                                  std::vector<py::object>& owners) {
    if (!py::hasattr(array, "__arrow_array__")) return std::nullopt;
    py::object chunked = array.attr("__arrow_array__")();
    const py::object pa_types = py::module_::import("pyarrow").attr("types");
    if (!py::hasattr(chunked, "chunks")) return std::nullopt;
    std::vector<ArrowChunk> out;
    for (py::handle chunk : chunked.attr("chunks")) {
        const py::object type = chunk.attr("type");
        ArrowChunk c;
        if (py::bool_(pa_types.attr("is_large_string")(type)))
            c.wide = true;
        else if (!py::bool_(pa_types.attr("is_string")(type)))
            return std::nullopt;
        const py::list buffers = chunk.attr("buffers")();
        if (buffers.size() != 3) return std::nullopt;
        std::size_t sizes[3] = {0, 0, 0};
        const void* pointers[3] = {nullptr, nullptr, nullptr};
        for (std::size_t k = 0; k < 3; ++k) {
            const py::object buffer = buffers[k];
            if (buffer.is_none()) continue;
            if (!py::bool_(buffer.attr("is_cpu"))) return std::nullopt;
            pointers[k] = reinterpret_cast<const void*>(buffer.attr("address").cast<std::uintptr_t>());
            sizes[k] = buffer.attr("size").cast<std::size_t>();
        }
        c.validity = static_cast<const std::uint8_t*>(pointers[0]);
        c.offsets = pointers[1];
        c.data = static_cast<const char*>(pointers[2]);
        c.data_size = sizes[2];
        c.offset = chunk.attr("offset").cast<std::int64_t>();
        c.length = py::len(chunk);
        if (c.length > 0) {
            const auto last = static_cast<std::size_t>(c.offset) + c.length;
            if (c.offsets == nullptr || sizes[1] < (last + 1) * (c.wide ? 8 : 4)) return std::nullopt;
            if (c.validity != nullptr && sizes[0] * 8 < last) return std::nullopt;
            // the outer offsets bound every value
            const auto [first_byte, end_byte] = c.byte_range();
            if (first_byte > end_byte || end_byte > c.data_size) return std::nullopt;
            if (c.data == nullptr) c.data = "";
        }
        owners.push_back(py::reinterpret_borrow<py::object>(chunk));
        out.push_back(c);
    }
    owners.push_back(chunked);
    return out;
}

// pandas' `str` dtype on Arrow storage (NaN as its missing value): the dtype of text columns.
inline bool is_arrow_str_dtype(const py::object& dtype) {
    const py::module_ pd = py::module_::import("pandas");
    if (!py::isinstance(dtype, pd.attr("StringDtype"))) return false;
    const py::object na = dtype.attr("na_value");
    if (!PyFloat_Check(na.ptr()) || !std::isnan(PyFloat_AS_DOUBLE(na.ptr()))) return false;
    return dtype.attr("storage").cast<std::string>() == "pyarrow";
}

// Every text of an Arrow string array as a view (a missing value as a missing cell); false when
// the array is not one or its offsets do not fit its bytes.
inline bool read_arrow_texts(const py::object& array, TextColumn& out) {
    const auto chunks = arrow_string_chunks(array, out.owners);
    if (!chunks) return false;
    for (const ArrowChunk& c : *chunks) {
        const auto begin = static_cast<std::size_t>(c.offset);
        for (std::size_t i = begin; i < begin + c.length; ++i) {
            if (!c.valid(i)) {
                out.cells.emplace_back();
                continue;
            }
            const std::uint64_t from = c.offset_at(i), to = c.offset_at(i + 1);
            if (from > to || to > c.data_size) return false;
            out.cells.push_back(core::TextCell::text(c.data + from, static_cast<std::size_t>(to - from)));
        }
    }
    return true;
}

// A new buffer from Arrow's own memory pool, which keeps freed memory for the next column
// instead of handing it back to the system and faulting it in afresh; and its address.
inline py::object arrow_buffer(std::size_t bytes, void*& address) {
    py::object buffer = py::module_::import("pyarrow").attr("allocate_buffer")(py::int_(bytes));
    address = reinterpret_cast<void*>(buffer.attr("address").cast<std::uintptr_t>());
    return buffer;
}

// The buffers of a new column of n texts (64-bit offsets), written natively.
struct StrBuffers {
    py::object validity = py::none(), offsets, data;
    std::uint8_t* bits = nullptr;  // null when no entry is missing
    std::int64_t* offsets_out = nullptr;
    char* data_out = nullptr;
    std::size_t n = 0, missing = 0;

    StrBuffers(std::size_t entries, std::uint64_t bytes, std::size_t missing_entries, std::size_t slack)
        : n(entries), missing(missing_entries) {
        void* at = nullptr;
        offsets = arrow_buffer((n + 1) * sizeof(std::int64_t), at);
        offsets_out = static_cast<std::int64_t*>(at);
        data = arrow_buffer(static_cast<std::size_t>(bytes) + slack, at);
        data_out = static_cast<char*>(at);
        if (missing > 0) {
            validity = arrow_buffer((n + 7) / 8, at);
            bits = static_cast<std::uint8_t*>(at);
        }
    }

    // The written buffers as a pandas array of `dtype` (`str` on Arrow storage), taken over
    // without a copy.
    py::object column(const py::object& dtype) const {
        const py::module_ pa = py::module_::import("pyarrow");
        py::list buffers;
        buffers.append(validity);
        buffers.append(offsets);
        buffers.append(data);
        const py::object array = pa.attr("Array").attr("from_buffers")(
            pa.attr("large_string")(), static_cast<py::ssize_t>(n), buffers, "null_count"_a = missing);
        return py::module_::import("pandas").attr("arrays").attr("ArrowStringArray")(array, "dtype"_a = dtype);
    }
};

// A column of `dtype` (pandas' `str` on Arrow storage) whose entry i is the text of
// rows[picks[i]], built from buffers: offsets and bytes written natively, handed to pandas
// without a copy. None when a row number is out of range.
inline py::object gather_str_column(const TextColumn& rows, std::span<const std::int64_t> order,
                                    const py::object& dtype) {
    const std::span<const core::TextCell> cells(rows.cells);
    core::GatherSize size;
    {
        py::gil_scoped_release release;  // reads the held texts and this call's row numbers
        if (!core::gather_size(cells, order, size)) return py::none();
    }
    const StrBuffers out(order.size(), size.bytes, size.missing, core::kGatherSlack);
    {
        // Writes only the three new buffers; reads the held texts.
        py::gil_scoped_release release;
        core::gather_texts<std::int64_t>(cells, order, out.offsets_out, out.data_out, out.bits);
    }
    return out.column(dtype);
}

// Runs of equal values of an Arrow string column, read from its buffers (codes in order of
// first appearance, -1 for a missing value; `codes` receives the distinct texts). nullopt when
// the column is not an Arrow string column.
inline std::optional<std::vector<core::Run>> arrow_string_runs(const py::object& column, core::StringCodes& codes) {
    std::vector<py::object> owners;
    const auto chunks = arrow_string_chunks(column.attr("array"), owners);
    if (!chunks) return std::nullopt;
    std::vector<core::Run> runs;
    std::int64_t first_row = 0;
    {
        // Reads the chunks' buffers (kept alive by `owners`); writes this call's own lists.
        py::gil_scoped_release release;
        for (const ArrowChunk& c : *chunks) {
            if (c.length > 0) {
                if (c.wide)
                    core::string_chunk_runs(static_cast<const std::int64_t*>(c.offsets), c.data, c.validity, c.offset,
                                            c.length, first_row, codes, runs);
                else
                    core::string_chunk_runs(static_cast<const std::int32_t*>(c.offsets), c.data, c.validity, c.offset,
                                            c.length, first_row, codes, runs);
            }
            first_row += static_cast<std::int64_t>(c.length);
        }
    }
    return runs;
}

}  // namespace lumoreq::bind
