// parameter block conversions
