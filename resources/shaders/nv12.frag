#version 100

uniform sampler2D texture0;
uniform sampler2D texture1;

varying mediump vec2 texcoord;

void main()
{
    mediump float y, u, v;
    mediump vec3 rgb;
    y = texture2D(texture0, texcoord).r;
    u = texture2D(texture1, texcoord).r - 0.5;
    v = texture2D(texture1, texcoord).g - 0.5;

    y = 1.1643 * (y + -0.0625);

    rgb.r = y               + 1.5958 * v;
    rgb.g = y + -0.39173 * u      +  -0.81290 * v;
    rgb.b = y + 2.017 * u;

    if (rgb.r > 1.0)
     rgb.r = 1.0;
    if (rgb.b > 1.0)
     rgb.b = 1.0;
    if (rgb.g > 1.0)
     rgb.g = 1.0;
    if (rgb.r < 0.0)
     rgb.r = 0.0;
    if (rgb.b < 0.0)
     rgb.b = 0.0;
    if (rgb.g < 0.0)
     rgb.g = 0.0;

    gl_FragColor = vec4(rgb, 1.0);
}
