// Opens the target region of the AVX2 kernel (with BMI1, BMI2 and POPCNT,
// which the kernel's processor check asks for too); avx2_region_end.inl
// closes it. Only code called after that check may live inside.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,bmi,bmi2,popcnt"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2,popcnt")
#endif
