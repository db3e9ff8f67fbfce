#version 100

uniform sampler2D texture0;
uniform sampler2D texture1;
uniform sampler2D texture2;

varying mediump vec2 texcoord;

void main()
{
    mediump vec3 rgb;
    rgb.g = texture2D(texture0, texcoord).r;
    rgb.b = texture2D(texture1, texcoord).r;
    rgb.r = texture2D(texture2, texcoord).r;

    gl_FragColor = vec4(rgb, 1.0);
}
