// The whole public interface of the quorvale_dat library.
#pragma once

#include "quorvale_dat/dat_error.hpp"
#include "quorvale_dat/database.hpp"
#include "quorvale_dat/expected.hpp"
#include "quorvale_dat/file.hpp"
#include "quorvale_dat/file_entry.hpp"
#include "quorvale_dat/format.hpp"
#include "quorvale_dat/file_type/palette.hpp"
#include "quorvale_dat/file_type/surface.hpp"
#include "quorvale_dat/file_type/surface_texture.hpp"
#include "quorvale_dat/file_type/texture.hpp"
#include "quorvale_dat/header.hpp"
#include "quorvale_dat/io_error.hpp"
#include "quorvale_dat/parse_error.hpp"
#include "quorvale_dat/reader.hpp"
#include "quorvale_dat/utils.hpp"
