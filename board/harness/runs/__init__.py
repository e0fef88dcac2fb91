# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The msgs_iic authors
