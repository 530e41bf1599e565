#include "core/read/parser.hpp"

namespace arbolite {

ParseOutcome parse_document_with(cpu::Kernel kernel, std::string_view text, const ReadOptions& options, Arena& arena) {
    switch (kernel) {
        case cpu::Kernel::Avx2: return kernel_avx2::parse(text, options, arena);
        case cpu::Kernel::Sse2: return kernel_sse2::parse(text, options, arena);
        case cpu::Kernel::Scalar: break;
    }
    return kernel_scalar::parse(text, options, arena);
}

std::unique_ptr<StreamParser> make_stream(cpu::Kernel kernel, const ReadOptions& options) {
    switch (kernel) {
        case cpu::Kernel::Avx2: return kernel_avx2::make_stream(options);
        case cpu::Kernel::Sse2: return kernel_sse2::make_stream(options);
        case cpu::Kernel::Scalar: break;
    }
    return kernel_scalar::make_stream(options);
}

ParseOutcome parse_document_with(cpu::Kernel kernel, std::string_view text, std::string_view root_tag,
                                 const void* node_type, Arena& arena) {
    return parse_document_with(kernel, text, ReadOptions{.root_tag = root_tag, .node_type = node_type}, arena);
}

ParseOutcome parse_document(std::string_view text, std::string_view root_tag, const void* node_type, Arena& arena) {
    return parse_document_with(cpu::active_kernel(), text, root_tag, node_type, arena);
}

ParseOutcome parse_document_element(std::string_view text, bool raw_text, const void* node_type, Arena& arena) {
    return parse_document_element_with(cpu::active_kernel(), text, raw_text, node_type, arena);
}

ParseOutcome parse_document_element_with(cpu::Kernel kernel, std::string_view text, bool raw_text,
                                         const void* node_type, Arena& arena) {
    return parse_document_with(
        kernel, text, ReadOptions{.document_element = true, .raw_text = raw_text, .node_type = node_type}, arena);
}

}  // namespace arbolite
