// Closes the target region that avx2_region_begin.inl opened.
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
