# The names the library exports, sorted: what the ELF and the PE table
# checks both hold the built library to.
set(VEERPIX_EXPORTED_NAMES
    veerpix_angle veerpix_auto_orient veerpix_cleanup veerpix_copy_metadata veerpix_fixed
    veerpix_flip_h veerpix_flip_v veerpix_init veerpix_last_error veerpix_transform)
