// SPDX-License-Identifier: Apache-2.0
// The shared library's own translation unit. Everything it exports comes
// from velkan_core (api.cpp), linked in whole.
