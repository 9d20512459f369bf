# Cross-checks of the image's readers and writers against srec_cat, and the SDCC fixture.
vk_add_test(image_crosscheck_tests SOURCES srec_cat_test.cpp LIBS vk_image vk_platform)
